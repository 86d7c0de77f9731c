package wqn.vorn.icnative;

/**
 * The Kelvara card library for Java programs: reader connection, the card's
 * file system, the progress notice, the reader-settings dialog and a process
 * check, as native methods of {@code libkelvara.so} (Linux) or
 * {@code Kelvara.dll} (Windows), which this class loads when it is first used.
 *
 * <p>All methods are {@code static}: the library keeps one connection and one
 * card index per process, so there is nothing to hold per instance. Call them
 * from one thread at a time.
 *
 * <p>Calling order: {@link #CheckKelvara()}; {@link #ReadIcFileIndex()}; any of
 * {@link #ReadIC}, {@link #WriteIC}, {@link #ICFileDel}, {@link #ICFileTime};
 * {@link #WriteIcFileIndex()} after changes; {@link #ReleaseKelvara()}.
 * {@link #ICFormat()} may stand anywhere after {@code CheckKelvara}. Unlike the
 * C interface these methods never connect by themselves (without
 * {@code CheckKelvara} they return {@code false} or {@code ""}), never load or
 * save the card's index on their own (changes reach the card's index only with
 * {@code WriteIcFileIndex}), and take the transfer arguments card side first
 * for reading and local side first for writing. Card names are compared
 * without regard to case. {@link #ShowPro}, {@link #SetText}, {@link #HidePro},
 * {@link #SetPortSpeed()} and {@link #IsProcessExist} need no reader.
 *
 * <p>No method throws; failures come back as {@code false} or {@code ""}
 * (never {@code null}). A {@code null} argument counts as an empty string.
 * The library may ask the user through message boxes (insert the card, retry
 * a failed page transfer).
 */
public final class NativeClass {
    static {
        System.loadLibrary("kelvara");
    }

    private NativeClass() {}

    /** Finds the reader and waits for a card, asking the user as needed. */
    public static native boolean CheckKelvara();

    /** Ends the connection; the next {@link #CheckKelvara()} starts a new one. */
    public static native void ReleaseKelvara();

    /** Reads the card's index into memory (an unformatted card reads as empty). */
    public static native boolean ReadIcFileIndex();

    /** Writes the index in memory to the card. */
    public static native boolean WriteIcFileIndex();

    /**
     * Copies a card file, or every file under a card directory
     * ({@code "\\dir\\*.*"}), into a local directory, whose name must end in a
     * separator. Returns the names of the files copied, separated by ",".
     */
    public static native String ReadIC(String cardFiles, String localDirectory);

    /**
     * Copies a local file, or the files matching {@code *} and {@code ?} in its
     * name, into a card directory ({@code ""} for the card's root). An
     * unformatted card is formatted first.
     */
    public static native boolean WriteIC(String localFiles, String cardDirectory);

    /** Deletes a card file or every file under a card directory, in memory. */
    public static native boolean ICFileDel(String cardFiles);

    /** Writes an empty file system to the card. */
    public static native boolean ICFormat();

    /** The write time (YYYYMMDDhhmm) of the first card file whose path contains the name. */
    public static native String ICFileTime(String name);

    /** Whether two or more running processes have this executable file name. */
    public static native boolean IsProcessExist(String fileName);

    /** Shows the progress notice with this text, or changes its text. */
    public static native void ShowPro(String text);

    /** Changes the text of a shown progress notice. */
    public static native void SetText(String text);

    /** Takes the progress notice down. */
    public static native void HidePro();

    /** Lets the user choose the reader, its port and its highest speed. */
    public static native void SetPortSpeed();
}
