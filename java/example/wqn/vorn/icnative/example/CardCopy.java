package wqn.vorn.icnative.example;

import wqn.vorn.icnative.NativeClass;

/**
 * Copies files between a local directory and the card the way a host program
 * uses the library: connect, read the index, work, write the index, release.
 *
 * <pre>
 * java -Djava.library.path=DIR -cp kelvara.jar:kelvara-example.jar \
 *     wqn.vorn.icnative.example.CardCopy put LOCAL_FILE CARD_DIR
 *     wqn.vorn.icnative.example.CardCopy get CARD_FILES LOCAL_DIR
 *     wqn.vorn.icnative.example.CardCopy time NAME
 * </pre>
 *
 * Exit status 0 when done, 1 when the library reported a failure, 2 on bad use.
 */
public final class CardCopy {
    private CardCopy() {}

    public static void main(String[] args) {
        if (args.length < 2 || (!args[0].equals("time") && args.length != 3)) {
            System.err.println("usage: CardCopy put LOCAL_FILE CARD_DIR | get CARD_FILES LOCAL_DIR | time NAME");
            System.exit(2);
        }
        System.exit(run(args));
    }

    private static int run(String[] args) {
        if (!NativeClass.CheckKelvara()) {
            System.err.println("no reader or no card");
            return 1;
        }
        try {
            if (!NativeClass.ReadIcFileIndex()) {
                System.err.println("the card's index could not be read");
                return 1;
            }
            switch (args[0]) {
            case "put":
                NativeClass.ShowPro("Copying " + args[1] + " to the card...");
                if (!NativeClass.WriteIC(args[1], args[2]) || !NativeClass.WriteIcFileIndex()) {
                    System.err.println("not copied");
                    return 1;
                }
                return 0;
            case "get": {
                String directory = args[2].endsWith("/") || args[2].endsWith("\\") ? args[2] : args[2] + "/";
                String names = NativeClass.ReadIC(args[1], directory);
                if (names.isEmpty()) {
                    System.err.println("nothing copied");
                    return 1;
                }
                for (String name : names.split(","))
                    System.out.println(name);
                return 0;
            }
            case "time": {
                String time = NativeClass.ICFileTime(args[1]);
                if (time.isEmpty()) {
                    System.err.println("no such file");
                    return 1;
                }
                System.out.println(time);
                return 0;
            }
            default:
                System.err.println("unknown command " + args[0]);
                return 2;
            }
        } finally {
            NativeClass.HidePro();
            NativeClass.ReleaseKelvara();
        }
    }
}
