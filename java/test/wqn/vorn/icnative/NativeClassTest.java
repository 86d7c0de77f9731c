package wqn.vorn.icnative;

import static org.junit.Assert.assertArrayEquals;
import static org.junit.Assert.assertEquals;
import static org.junit.Assert.assertFalse;
import static org.junit.Assert.assertNotNull;
import static org.junit.Assert.assertTrue;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.time.Year;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.TimeUnit;
import org.junit.After;
import org.junit.Before;
import org.junit.BeforeClass;
import org.junit.Test;

/**
 * NativeClass on a real JVM against libkelvara.so and the serial reader
 * simulator: the documented calling order ending with a second JVM reading
 * the card, and the methods' edge cases.
 */
public class NativeClassTest {
    private Path in;
    private Path out;
    private TestBench.Reader reader;

    @BeforeClass
    public static void loadLibraries() throws IOException {
        // Loads libkelvara.so first, then the user library that answers its prompts.
        assertEquals("", NativeClass.ICFileTime("anything"));
        System.load(TestBench.USER_LIBRARY.toString());
        Files.createDirectories(TestBench.WORK);
    }

    @Before
    public void setUp() throws IOException {
        in = TestBench.freshDirectory("in");
        out = TestBench.freshDirectory("Out");
        Files.deleteIfExists(TestBench.LOG);
        Files.deleteIfExists(TestBench.SETTINGS);
        TestBench.answer("cancel");
    }

    @After
    public void tearDown() throws InterruptedException {
        NativeClass.HidePro();
        NativeClass.ReleaseKelvara();
        if (reader != null)
            reader.close();
    }

    private void startReader(String... options) throws IOException {
        reader = new TestBench.Reader(TestBench.freshDirectory("card").resolve("card.img"), options);
    }

    private Path localFile(String name, int size, int seed) throws IOException {
        byte[] bytes = new byte[size];
        for (int i = 0; i < size; ++i)
            bytes[i] = (byte) (i * 7 + seed);
        return Files.write(in.resolve(name), bytes);
    }

    private byte[] cardImage() throws IOException {
        return Files.readAllBytes(reader.image);
    }

    private static int indexOf(byte[] haystack, byte[] needle) {
        outer:
        for (int i = 0; i + needle.length <= haystack.length; ++i) {
            for (int j = 0; j < needle.length; ++j) {
                if (haystack[i + j] != needle[j])
                    continue outer;
            }
            return i;
        }
        return -1;
    }

    @Test
    public void documentedCallingOrderThenASecondJvmReadsTheCard() throws Exception {
        startReader();
        Path tax = localFile("Return2024.xml", 1500, 1);
        Path old = localFile("old.txt", 100, 2);

        assertTrue(NativeClass.CheckKelvara());
        assertTrue(NativeClass.ReadIcFileIndex()); // a blank card reads as empty
        assertTrue(NativeClass.WriteIC(tax.toString(), "\\tax")); // formats the blank card first
        assertTrue(NativeClass.WriteIC(old.toString(), "\\tax"));
        assertEquals("return2024.xml", NativeClass.ReadIC("\\tax\\return2024.xml", out + "/"));
        assertArrayEquals(Files.readAllBytes(tax), Files.readAllBytes(out.resolve("return2024.xml")));
        assertTrue(NativeClass.ICFileDel("\\tax\\old.txt"));
        String time = NativeClass.ICFileTime("return2024.xml");
        assertTrue(time, time.matches("\\d{12}") && time.startsWith(Year.now().toString()));
        assertEquals("", NativeClass.ICFileTime("old.txt"));
        assertTrue(NativeClass.WriteIcFileIndex());
        NativeClass.ReleaseKelvara();
        assertEquals(List.of(), TestBench.logged("box"));

        Path copy = TestBench.freshDirectory("copy");
        TestBench.Run run = TestBench.example("get", "\\tax\\*.*", copy.toString());
        assertEquals(0, run.status);
        assertEquals("return2024.xml\n", run.output);
        assertArrayEquals(Files.readAllBytes(tax), Files.readAllBytes(copy.resolve("return2024.xml")));
        assertFalse(Files.exists(copy.resolve("old.txt")));
    }

    @Test
    public void readIcBeforeCheckKelvaraGivesAnEmptyStringWithoutPromptOrReaderTraffic() throws Exception {
        startReader();
        String names = NativeClass.ReadIC("\\tax\\*.*", out + "/");
        assertNotNull(names);
        assertEquals("", names);
        assertFalse(NativeClass.WriteIC(localFile("a.txt", 10, 3).toString(), ""));
        assertFalse(NativeClass.ReadIcFileIndex());
        assertEquals(List.of(), TestBench.logged("box", "notice"));
        assertEquals(List.of(), reader.receivedFrames());
    }

    @Test
    public void cardNamesInCapitalsAreLowerCasedButNotTheLocalDirectory() throws Exception {
        startReader();
        Path file = localFile("Return2024.xml", 600, 4);
        assertTrue(NativeClass.CheckKelvara());
        assertTrue(NativeClass.ICFormat());
        assertTrue(NativeClass.ReadIcFileIndex());
        assertTrue(NativeClass.WriteIC(file.toString(), "\\TAX"));
        // "Out" exists only with its capital: a lower-cased directory would not be found.
        assertEquals("return2024.xml", NativeClass.ReadIC("\\TAX\\RETURN2024.XML", out + "/"));
        assertArrayEquals(Files.readAllBytes(file), Files.readAllBytes(out.resolve("return2024.xml")));
        assertEquals(12, NativeClass.ICFileTime("RETURN2024.XML").length());
        assertTrue(NativeClass.WriteIcFileIndex());
        NativeClass.ReleaseKelvara();
        // The card directory went onto the card lower-cased.
        byte[] image = cardImage();
        assertTrue(indexOf(image, "\\tax\\return2024.xml*".getBytes(StandardCharsets.US_ASCII)) >= 0);
        assertEquals(-1, indexOf(image, "\\TAX".getBytes(StandardCharsets.US_ASCII)));
    }

    @Test
    public void icFileDelOnAnUnformattedCardFormatsItAndSucceeds() throws Exception {
        startReader();
        assertTrue(NativeClass.CheckKelvara());
        assertTrue(NativeClass.ICFileDel("\\tax\\nothing.txt"));
        NativeClass.ReleaseKelvara();
        byte[] image = cardImage();
        int marker = (image[258] & 0xFF) | (image[259] & 0xFF) << 8; // page 0, the format marker
        assertEquals(0xABCD, marker);
    }

    @Test
    public void checkKelvaraIsFalseAfterTheUserCancelsTheInsertCardPrompt() throws Exception {
        startReader("--no-card", "Q");
        TestBench.answer("cancel");
        assertFalse(NativeClass.CheckKelvara());
        assertEquals(List.of("box 请将IC卡插入读卡器中!"), TestBench.logged("box"));
        // The connection notice came and went.
        List<String> notices = TestBench.logged("notice");
        assertEquals("notice 0 ", notices.get(0));
        assertEquals("notice 2 ", notices.get(notices.size() - 1));
    }

    @Test
    public void chineseCardFileNameReachesTheCardAsItsUtf8Bytes() throws Exception {
        startReader();
        Path file = localFile("报税2024.txt", 300, 5);
        assertTrue(NativeClass.CheckKelvara());
        assertTrue(NativeClass.ReadIcFileIndex());
        assertTrue(NativeClass.WriteIC(file.toString(), "\\tax"));
        assertTrue(NativeClass.WriteIcFileIndex());
        assertEquals(12, NativeClass.ICFileTime("报税2024.txt").length());
        assertEquals("报税2024.txt", NativeClass.ReadIC("\\tax\\报税2024.txt", out + "/"));
        assertArrayEquals(Files.readAllBytes(file), Files.readAllBytes(out.resolve("报税2024.txt")));
        NativeClass.ReleaseKelvara();
        byte[] path = "\\tax\\报税2024.txt*".getBytes(StandardCharsets.UTF_8);
        assertTrue(indexOf(cardImage(), path) >= 0);
    }

    @Test
    public void progressNoticeIsOneNoticeWhoseTextChanges() throws Exception {
        NativeClass.HidePro(); // nothing shown: nothing happens
        NativeClass.SetText("not shown");
        NativeClass.ShowPro("正在读卡\r\n请稍候...");
        NativeClass.ShowPro("正在写卡");
        NativeClass.SetText("完成");
        NativeClass.HidePro();
        NativeClass.HidePro();
        assertEquals(List.of("progress 0 ", "progress 1 正在读卡\\r\\n请稍候...", "progress 1 正在写卡",
                             "progress 1 完成", "progress 2 "),
                     TestBench.logged("progress"));
    }

    @Test
    public void setPortSpeedOpensTheSettingsDialogWithoutAReader() throws Exception {
        Files.write(TestBench.SETTINGS, "[Settings]\nPortMode=3\nBaudRateIndex=2\nComPortID=1\n".getBytes());
        NativeClass.SetPortSpeed();
        assertEquals(List.of("settings 3 2 1 0"), TestBench.logged("settings"));
        // Cancelled: the settings are as they were.
        assertEquals("[Settings]\nPortMode=3\nBaudRateIndex=2\nComPortID=1\n",
                     new String(Files.readAllBytes(TestBench.SETTINGS), StandardCharsets.UTF_8));
    }

    @Test
    public void isProcessExistIsTrueOnlyForTheSecondCopyOfAProgram() throws Exception {
        String name = "kvjava" + ProcessHandle.current().pid() + ".exe";
        Path program = TestBench.freshDirectory("probe").resolve(name);
        Files.copy(TestBench.PROBE, program);
        program.toFile().setExecutable(true);
        List<Process> running = new ArrayList<>();
        try {
            for (int copies = 1; copies <= 2; ++copies) {
                Process p = new ProcessBuilder(program.toString()).start();
                running.add(p);
                // "ready" once it runs under its name
                assertEquals('r', p.getInputStream().read());
                assertEquals(copies == 2, NativeClass.IsProcessExist(name));
            }
            assertTrue(NativeClass.IsProcessExist(name.toUpperCase()));
            assertFalse(NativeClass.IsProcessExist(program.toString()));
            assertFalse(NativeClass.IsProcessExist(name.substring(0, name.length() - 4)));
        } finally {
            for (Process p : running) {
                p.destroy();
                p.waitFor(30, TimeUnit.SECONDS);
            }
        }
    }
}
