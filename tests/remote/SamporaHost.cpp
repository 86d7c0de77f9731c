// sampora-host: the process in which an end-to-end test runs Sampora. The
// library is loaded at run time, at the first call after start or after
// "unload", and its 21 functions are looked up by their plain names, as a
// host program of the DLL does. Built natively against libsampora.so and,
// for Wine, as a Windows program against Sampora.dll.
//
// Commands (results after "ok"; a pointer argument is hex of the caller's
// bytes, or "null", and comes back as it is after the call):
//   Init Close CloseCard OpenReader CloseReader SelectSAMCatalog AllowDeep
//   DisAllowDeep OpCorrectDeep OpIncorrectDeep ReSend  -> result
//   OpenCard ID                                        -> result, ID
//   ReadBlock SELECTOR BLOCK DATA                      -> result, DATA
//   WriteBlock SELECTOR BLOCK DATA                     -> result
//   ReadCardFile FILE INDEX FIRST COUNT DATA           -> result, DATA
//   WriteCardFile FILE INDEX FIRST LENGTH DATA         -> result
//   DownSecret SELECTOR SECTOR KEY / WriteSecret SELECTOR SECTOR DATA
//                                                      -> result
//   WriteMAC LENGTH FIRST SECOND DATA                  -> result
//   SetMAD FIRST SECOND THIRD                          -> result
//   RestoreCard FIRST COUNT A B DATA                   -> result, A, B
//   unload        frees the library without Close -> 1 when the call
//                 returned success, and the milliseconds it took
//   setenv NAME VALUE
//   quit
#include "sampora.h"

#include "tests/remote/Host.h"
#include "tests/remote/HostPlatform.h"

namespace wqn::host {
namespace {

Host g_host;

struct Functions {
    decltype(&::Init) init;
    decltype(&::Close) close;
    decltype(&::OpenCard) openCard;
    decltype(&::CloseCard) closeCard;
    decltype(&::OpenReader) openReader;
    decltype(&::CloseReader) closeReader;
    decltype(&::ReadBlock) readBlock;
    decltype(&::WriteBlock) writeBlock;
    decltype(&::ReadCardFile) readCardFile;
    decltype(&::WriteCardFile) writeCardFile;
    decltype(&::DownSecret) downSecret;
    decltype(&::SelectSAMCatalog) selectSAMCatalog;
    decltype(&::WriteSecret) writeSecret;
    decltype(&::WriteMAC) writeMAC;
    decltype(&::SetMAD) setMAD;
    decltype(&::RestoreCard) restoreCard;
    decltype(&::AllowDeep) allowDeep;
    decltype(&::DisAllowDeep) disAllowDeep;
    decltype(&::OpCorrectDeep) opCorrectDeep;
    decltype(&::OpIncorrectDeep) opIncorrectDeep;
    decltype(&::ReSend) reSend;
};

void *g_library = nullptr;
Functions g_functions;

template <class Pointer>
void Find(Pointer *slot, const char *name)
{
    *slot = reinterpret_cast<Pointer>(platform::LibrarySymbol(g_library, name));
    if (*slot == nullptr)
        throw CommandError(std::string("the library exports no ") + name);
}

const Functions &Library()
{
    if (g_library != nullptr)
        return g_functions;
    g_library = platform::LoadLibraryFile(SAMPORA_LIBRARY);
    if (g_library == nullptr)
        throw CommandError("cannot load " SAMPORA_LIBRARY);
    Functions &f = g_functions;
    Find(&f.init, "Init");
    Find(&f.close, "Close");
    Find(&f.openCard, "OpenCard");
    Find(&f.closeCard, "CloseCard");
    Find(&f.openReader, "OpenReader");
    Find(&f.closeReader, "CloseReader");
    Find(&f.readBlock, "ReadBlock");
    Find(&f.writeBlock, "WriteBlock");
    Find(&f.readCardFile, "ReadCardFile");
    Find(&f.writeCardFile, "WriteCardFile");
    Find(&f.downSecret, "DownSecret");
    Find(&f.selectSAMCatalog, "SelectSAMCatalog");
    Find(&f.writeSecret, "WriteSecret");
    Find(&f.writeMAC, "WriteMAC");
    Find(&f.setMAD, "SetMAD");
    Find(&f.restoreCard, "RestoreCard");
    Find(&f.allowDeep, "AllowDeep");
    Find(&f.disAllowDeep, "DisAllowDeep");
    Find(&f.opCorrectDeep, "OpCorrectDeep");
    Find(&f.opIncorrectDeep, "OpIncorrectDeep");
    Find(&f.reSend, "ReSend");
    return g_functions;
}

short Short(const Tokens &args, std::size_t index) { return static_cast<short>(Host::Number(args, index)); }
std::string Result(long value) { return std::to_string(value); }

void AddCommands(Host &host)
{
    const auto plain = [&host](const char *name, auto member) {
        host.Add(name, [member](const Tokens &) { return Tokens{Result((Library().*member)())}; });
    };
    plain("Init", &Functions::init);
    plain("Close", &Functions::close);
    plain("CloseCard", &Functions::closeCard);
    plain("OpenReader", &Functions::openReader);
    plain("CloseReader", &Functions::closeReader);
    plain("SelectSAMCatalog", &Functions::selectSAMCatalog);
    plain("AllowDeep", &Functions::allowDeep);
    plain("DisAllowDeep", &Functions::disAllowDeep);
    plain("OpCorrectDeep", &Functions::opCorrectDeep);
    plain("OpIncorrectDeep", &Functions::opIncorrectDeep);
    plain("ReSend", &Functions::reSend);

    host.Add("OpenCard", [](const Tokens &args) {
        GuardedBuffer id(Host::Text(args, 0));
        const short r = Library().openCard(reinterpret_cast<unsigned int *>(id.Data()));
        return Tokens{Result(r), id.Checked()};
    });
    host.Add("ReadBlock", [](const Tokens &args) {
        GuardedBuffer data(Host::Text(args, 2));
        const short r = Library().readBlock(Short(args, 0), Short(args, 1), data.Data());
        return Tokens{Result(r), data.Checked()};
    });
    host.Add("WriteBlock", [](const Tokens &args) {
        GuardedBuffer data(Host::Text(args, 2));
        const short r = Library().writeBlock(Short(args, 0), Short(args, 1), data.Data());
        return Tokens{Result(r), data.Checked()};
    });
    host.Add("ReadCardFile", [](const Tokens &args) {
        GuardedBuffer data(Host::Text(args, 4));
        const short r = Library().readCardFile(Short(args, 0), static_cast<unsigned char>(Host::Number(args, 1)),
                                               Short(args, 2), Short(args, 3), data.Data());
        return Tokens{Result(r), data.Checked()};
    });
    host.Add("WriteCardFile", [](const Tokens &args) {
        GuardedBuffer data(Host::Text(args, 4));
        const short r = Library().writeCardFile(Short(args, 0), static_cast<unsigned char>(Host::Number(args, 1)),
                                                Short(args, 2), Short(args, 3), data.Data());
        return Tokens{Result(r), data.Checked()};
    });
    host.Add("DownSecret", [](const Tokens &args) {
        GuardedBuffer key(Host::Text(args, 2));
        const short r = Library().downSecret(Short(args, 0), Short(args, 1), reinterpret_cast<short *>(key.Data()));
        return Tokens{Result(r), key.Checked()};
    });
    host.Add("WriteSecret", [](const Tokens &args) {
        GuardedBuffer data(Host::Text(args, 2));
        const short r = Library().writeSecret(Short(args, 0), Short(args, 1), reinterpret_cast<short *>(data.Data()));
        return Tokens{Result(r), data.Checked()};
    });
    host.Add("WriteMAC", [](const Tokens &args) {
        GuardedBuffer data(Host::Text(args, 3));
        const short r = Library().writeMAC(Short(args, 0), Short(args, 1), Short(args, 2), data.Data());
        return Tokens{Result(r), data.Checked()};
    });
    host.Add("SetMAD", [](const Tokens &args) {
        return Tokens{Result(Library().setMAD(Short(args, 0), Short(args, 1), Short(args, 2)))};
    });
    host.Add("RestoreCard", [](const Tokens &args) {
        GuardedBuffer a(Host::Text(args, 2));
        GuardedBuffer b(Host::Text(args, 3));
        GuardedBuffer data(Host::Text(args, 4));
        const short r = Library().restoreCard(Short(args, 0), Short(args, 1), reinterpret_cast<short *>(a.Data()),
                                              reinterpret_cast<short *>(b.Data()), data.Data());
        return Tokens{Result(r), a.Checked(), b.Checked()};
    });
    host.Add("unload", [](const Tokens &) {
        if (g_library == nullptr)
            throw CommandError("not loaded");
        const long long start = platform::NowMs();
        const bool freed = platform::FreeLibraryHandle(g_library);
        const long long took = platform::NowMs() - start;
        g_library = nullptr;
        return Tokens{freed ? "1" : "0", std::to_string(took)};
    });
    host.Add("setenv", [](const Tokens &args) {
        platform::SetEnvironment(Host::Text(args, 0), Host::Text(args, 1));
        return Tokens{};
    });
}

} // namespace
} // namespace wqn::host

int main()
{
    wqn::host::platform::Init();
    wqn::host::AddCommands(wqn::host::g_host);
    return wqn::host::g_host.Run();
}
