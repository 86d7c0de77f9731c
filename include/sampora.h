/*
 * Sampora: C interface of the serial reader for contactless cards with a
 * secure access module (SAM).
 *
 * Call Init once before any command and Close once at the end. The library
 * runs one worker thread of its own that drains the port while no command
 * runs; the commands themselves are not safe to call from two threads at once.
 *
 * Results of the command functions (all but ReSend):
 *    1          the reader answered with status 1; output arguments are filled
 *   -1          no reply in time, or no port is open (nothing is sent then)
 *   -2, -3, -4  an argument is out of range (see each function); nothing is sent
 *   -5          a data or output pointer needed by the call is null; nothing is sent
 *   0, 2..255   the reader's status byte, passed on; outputs are left untouched
 *
 * On Linux the reader's port COMn is the path in the environment variable
 * WQN_COMn, else /dev/ttyS<n-1>. Settings come from the file named by the
 * environment variable SAMPORA_SETTINGS, else "sampora.ini" in the current
 * directory, else (Linux) $XDG_CONFIG_HOME/sampora/sampora.ini (default
 * ~/.config/sampora/sampora.ini); section [reader]: port (1), baud (9600),
 * paritybit (0; 79 'O' or 111 'o' selects odd parity), databit (8),
 * stopbit (1 or 2).
 */
#ifndef SAMPORA_H
#define SAMPORA_H

#if defined(_WIN32)
#if defined(SAMPORA_BUILDING)
#define SAMPORA_API __declspec(dllexport)
#else
#define SAMPORA_API __declspec(dllimport)
#endif
#define SAMPORA_CALL __cdecl
#else
#define SAMPORA_API __attribute__((visibility("default")))
#define SAMPORA_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Reads the settings, opens and configures the port, starts the worker.
 * 0 on success; -1 when the port number is not 1..6 or the port cannot be
 * opened (errno, on Windows GetLastError, then tells why). */
SAMPORA_API short SAMPORA_CALL Init(void);

/* Stops the worker, closes the port. Always 0 (also without Init). */
SAMPORA_API short SAMPORA_CALL Close(void);

/* Selects the card; on success *cardId holds the first four reply bytes,
 * the first byte as the lowest. */
SAMPORA_API short SAMPORA_CALL OpenCard(unsigned int *cardId);
SAMPORA_API short SAMPORA_CALL CloseCard(void);
SAMPORA_API short SAMPORA_CALL OpenReader(void);
SAMPORA_API short SAMPORA_CALL CloseReader(void);

/* selector 0 or 1 (-2); block 0..63 (-3). data: 16 bytes. */
SAMPORA_API short SAMPORA_CALL ReadBlock(short selector, short block, unsigned char *data);
/* selector 0 or 1 (-2); block 0..63 and not the last block of a sector (-3). */
SAMPORA_API short SAMPORA_CALL WriteBlock(short selector, short block, const unsigned char *data);

/* firstBlock 0..3 (-3); count 1..4-firstBlock (-4). data: count*16 bytes. */
SAMPORA_API short SAMPORA_CALL ReadCardFile(short fileNumber, unsigned char index, short firstBlock, short count,
                                            unsigned char *data);
/* firstBlock 0..2 (-3); length 0..(3-firstBlock)*16 (-4). */
SAMPORA_API short SAMPORA_CALL WriteCardFile(short fileNumber, unsigned char index, short firstBlock, short length,
                                             const unsigned char *data);

/* selector 0 or 1 (-2); sector 0..15 (-4). key: 6 units, the low byte of
 * each is sent. */
SAMPORA_API short SAMPORA_CALL DownSecret(short selector, short sector, const short *key);
SAMPORA_API short SAMPORA_CALL SelectSAMCatalog(void);
/* selector 0 or 1 (-2); sector 0..15 (-3). data: 16 units, low bytes sent. */
SAMPORA_API short SAMPORA_CALL WriteSecret(short selector, short sector, const short *data);
/* length 1..7 (-2). */
SAMPORA_API short SAMPORA_CALL WriteMAC(short length, short first, short second, const unsigned char *data);
/* first 1..7 (-2); second 1..7 (-3); third 1..14 (-4). */
SAMPORA_API short SAMPORA_CALL SetMAD(short first, short second, short third);
/* firstSector 1..14 (-2); count 1..15-firstSector (-3). data: count bytes.
 * On success *outA = reply byte 3, *outB = reply byte 0. */
SAMPORA_API short SAMPORA_CALL RestoreCard(short firstSector, short count, short *outA, short *outB,
                                           const unsigned char *data);

SAMPORA_API short SAMPORA_CALL AllowDeep(void);
SAMPORA_API short SAMPORA_CALL DisAllowDeep(void);
SAMPORA_API short SAMPORA_CALL OpCorrectDeep(void);
SAMPORA_API short SAMPORA_CALL OpIncorrectDeep(void);

/* Sends the resend command without waiting for a reply: the number of bytes
 * written (5), or -1 when no port is open or the write fails. Whatever the
 * reader answers is taken by the next poll. */
SAMPORA_API int SAMPORA_CALL ReSend(void);

#ifdef __cplusplus
}
#endif

#endif /* SAMPORA_H */
