// Sampora's C interface for end-to-end tests, run in a library process of
// its own (sampora-host, natively or as a Windows program under Wine): each
// function here sends the call to the current SamporaProcess and hands back
// its results. The signatures are those of sampora.h.
#pragma once

#include "tests/remote/HostSession.h"

namespace sampora_remote {

// One process in which the library runs (in the current directory), from
// construction to Finish.
class SamporaProcess final : public wqn::host::HostedLibrary {
public:
    SamporaProcess();
    // The newest Sampora process not yet finished, or null.
    static SamporaProcess *Current();
};

short Init();
short Close();
short OpenCard(unsigned int *cardId);
short CloseCard();
short OpenReader();
short CloseReader();
short ReadBlock(short selector, short block, unsigned char *data);
short WriteBlock(short selector, short block, const unsigned char *data);
short ReadCardFile(short fileNumber, unsigned char index, short firstBlock, short count, unsigned char *data);
short WriteCardFile(short fileNumber, unsigned char index, short firstBlock, short length, const unsigned char *data);
short DownSecret(short selector, short sector, const short *key);
short SelectSAMCatalog();
short WriteSecret(short selector, short sector, const short *data);
short WriteMAC(short length, short first, short second, const unsigned char *data);
short SetMAD(short first, short second, short third);
short RestoreCard(short firstSector, short count, short *outA, short *outB, const unsigned char *data);
short AllowDeep();
short DisAllowDeep();
short OpCorrectDeep();
short OpIncorrectDeep();
int ReSend();

} // namespace sampora_remote
