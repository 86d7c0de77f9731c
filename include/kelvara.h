/* Kelvara: smart-card reader access and the card file system.
 *
 * Texts are 8-bit and zero-terminated: UTF-8 on Linux, the system code page
 * on Windows. Results: 0 success, -1 failure, unless stated otherwise.
 * Call TS_CheckKelvara first and TS_ReleaseKelvara last; one call at a time. */
#ifndef KELVARA_H
#define KELVARA_H

#if defined(_WIN32)
#define KELVARA_CALL __stdcall
#else
#define KELVARA_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Reader and raw pages. */
int KELVARA_CALL TS_CheckKelvara(void);
void KELVARA_CALL TS_ReleaseKelvara(void);
/* A page has 264 bytes (pages 0-2047). With `crc` set, bytes 260-263 of a
 * buffer of at least 264 bytes carry the page checksum. */
int KELVARA_CALL TS_ReadBlock(int page, int offset, int length, unsigned char *buffer, unsigned char crc);
int KELVARA_CALL TS_WriteBlock(int page, int offset, int length, unsigned char *buffer, unsigned char crc);
int KELVARA_CALL TS_IcCardLock(void); /* 1 accepted, 0 otherwise */
int KELVARA_CALL TS_IcCardExit(void); /* 1 accepted, 0 otherwise */
void KELVARA_CALL TS_GetVersion(char *text); /* text: at least 51 bytes */
void KELVARA_CALL TS_SetPortSpeed(int unused);

/* The card file system. */
int KELVARA_CALL TS_FileTime(const char *name, char *time); /* time: at least 13 bytes */
/* readNames receives the names of the files read, separated by ",". The
 * list is never longer than the card's index, which fills at most the 2031
 * pages of 256 bytes a card has for it: KELVARA_READ_NAMES_MAX bytes,
 * terminator included, always suffice. Prefer KelvaraReadIcFilesBounded. */
#define KELVARA_READ_NAMES_MAX 519936
int KELVARA_CALL TS_ReadIcFiles(const char *localDirectory, const char *cardPattern, char *readNames);
int KELVARA_CALL TS_WriteIcFiles(const char *cardDirectory, const char *localFiles);
int KELVARA_CALL TS_DelIcFiles(const char *cardPattern);
int KELVARA_CALL TS_IsFormat(void);
int KELVARA_CALL TS_Format(void);
int KELVARA_CALL TS_DirIcFiles(const char *outputPath); /* 1 written, 0 file not opened, -1 failure */
int KELVARA_CALL TS_Test(void);
int KELVARA_CALL TS_GetBitTable(const char *outputPath); /* 1 written, 0 otherwise */

/* TS_ReadIcFiles with the size of `out` given: the same reads and results,
 * and never a byte written past outSize. `needed` (may be null) receives
 * the size the whole list takes, terminator included, once the read
 * succeeded (0 when it failed). When the list does not fit, the result is
 * -1 with `out` holding "" (no list cut short): the files already copied stay
 * in localDirectory, and a second call with a buffer of *needed bytes reads
 * them again and lists them. -1 with *needed greater than outSize thus means
 * the buffer was too small. */
int KelvaraReadIcFilesBounded(const char *localDirectory, const char *cardPattern, char *out, int outSize, int *needed);

/* Finds the reader (as TS_CheckKelvara does, without asking the user
 * anything) and waits up to timeoutMs milliseconds, counted once the reader
 * answered, for a card: the reader is asked with its own status request
 * every 200 ms. 0 a card is present, 1 none came in time, -1 no reader or a
 * negative timeoutMs. 0 returns at once when the card is already there.
 * The reader stays connected afterwards. */
int KelvaraWaitForCard(int timeoutMs);

/* Gives the card file `from` the path `to` (e.g. "\\tax\\a.xml" to
 * "\\old\\a.xml"; both are lower-cased as every card path is). Only the
 * file's index record is rewritten, no data page is copied; a power cut
 * leaves either name in force, never both or none. 0 renamed; -1 when the
 * card is not formatted, `from` does not exist, `to` exists already, `to`
 * is no path a file can take (a backslash first, no "*", no empty part, a
 * file name after the last backslash), or the index cannot be written. */
int KelvaraRenameIcFile(const char *from, const char *to);

/* The handler setters below all follow one rule. Each takes effect for the
 * next call of the library; a setter called while another thread is inside
 * the library waits until that call returns; a setter called from inside a
 * handler (on the thread the library is calling it from) is refused and
 * changes nothing. Handlers run on the caller's thread, inside the call that
 * raised them, and must not call the library (such calls fail). */

/* Message boxes: `type` holds the Windows MB_ flags, texts are UTF-8, the
 * handler returns IDOK 1, IDCANCEL 2 or IDRETRY 4. A null handler restores
 * the default box. */
void KelvaraSetMessageBoxHandler(int (*handler)(void *ctx, const char *text, const char *caption, unsigned int type),
                                 void *ctx);
/* The connection notice: op 0 show, 1 set text, 2 hide. */
void KelvaraSetNoticeHandler(void (*handler)(void *ctx, int op, const char *text), void *ctx);
/* The progress notice a Java program shows (NativeClass.ShowPro, SetText,
 * HidePro), with the same ops; a separate setter so that a handler written
 * for the connection notice alone never sees it. Texts are UTF-8. Either
 * handler, when set, also replaces the Windows notice window. A null handler
 * restores the default (Linux: nothing shown). */
void KelvaraSetProgressNoticeHandler(void (*handler)(void *ctx, int op, const char *text), void *ctx);

/* Progress of the running export's page transfers (TS_WriteIcFiles,
 * TS_ReadIcFiles and the Java methods that copy files): called on the
 * caller's thread as each file begins and after each of its data pages, with
 * the pages done and the pages to do so far in this call. With several files `total` grows as each file
 * begins; index and bit-table pages are not counted. A null handler
 * removes it. */
void KelvaraSetProgressHandler(void (*handler)(void *ctx, int done, int total), void *ctx);

/* The reader-settings dialog of TS_SetPortSpeed (and NativeClass.SetPortSpeed).
 * The lists: readers "MCS-C", "WQN", "GC481", "USB_V626" (the index is the
 * reader mode), speeds "4800" to "115200" (index 0-6), ports "COM1" to "COM6"
 * (index 0-5); the item texts are also given below. Selections are list
 * indexes, -1 for none; an index outside a list counts as none. */
typedef struct KelvaraSettingsDialog {
    int reader;
    int speed;
    int port;
    /* 0 while the speed and port lists are disabled (the USB reader). */
    int listsEnabled;
    /* Call after changing `reader` as the reader list's drop-down closing
     * would: the lists are enabled or disabled by the new reader and the
     * fields are brought up to date. Changing `reader` alone changes no
     * enabled state. */
    void (*readerListClosedUp)(struct KelvaraSettingsDialog *dialog);
    const char *const *readerItems;
    int readerCount;
    const char *const *speedItems;
    int speedCount;
    const char *const *portItems;
    int portCount;
    void *reserved; /* the library's own */
} KelvaraSettingsDialog;
/* The handler is the dialog: it receives the selections as the dialog opens
 * (from the stored settings), lets the user change them and returns 1 (IDOK)
 * to store them - BaudRateMax and BaudRateIndex the speed, PortMode the
 * reader, ComPortID the port, in this order, -1 for none - or 2 (IDCANCEL)
 * to store nothing. Without a handler TS_SetPortSpeed shows the dialog
 * window on Windows and does nothing on Linux. A null handler restores that. */
void KelvaraSetSettingsDialogHandler(int (*handler)(void *ctx, KelvaraSettingsDialog *dialog), void *ctx);

#ifdef __cplusplus
}
#endif

#endif /* KELVARA_H */
