package wqn.vorn.icnative;

import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.Comparator;
import java.util.List;
import java.util.concurrent.TimeUnit;
import java.util.stream.Stream;

/**
 * The surroundings of the Java tests, set up by the build (ctest): a work
 * directory, the serial reader simulator program, the user library that
 * answers and records the library's prompts and notices, and the class path
 * for starting a second JVM. The library finds the reader on COM1, which the
 * environment points at a link in the work directory; the bench points that
 * link at each simulator it starts.
 */
final class TestBench {
    static final Path WORK = Paths.get(property("kelvara.work"));
    static final Path SIMULATOR = Paths.get(property("kelvara.serialSim"));
    static final Path PROBE = Paths.get(property("kelvara.processProbe"));
    static final Path USER_LIBRARY = Paths.get(property("kelvara.testUser"));
    static final Path COM1 = Paths.get(System.getenv("WQN_COM1"));
    static final Path LOG = Paths.get(System.getenv("KELVARA_TEST_LOG"));
    static final Path ANSWER = Paths.get(System.getenv("KELVARA_TEST_ANSWER"));
    static final Path SETTINGS = Paths.get(System.getenv("KELVARA_SETTINGS"));

    private TestBench() {}

    static String property(String name) {
        String value = System.getProperty(name);
        if (value == null)
            throw new IllegalStateException("the build sets -D" + name);
        return value;
    }

    /** Empties a directory of the work area, creating it if needed. */
    static Path freshDirectory(String name) throws IOException {
        Path dir = WORK.resolve(name);
        if (Files.exists(dir)) {
            try (Stream<Path> all = Files.walk(dir)) {
                for (Path p : (Iterable<Path>) all.sorted(Comparator.reverseOrder())::iterator)
                    Files.delete(p);
            }
        }
        return Files.createDirectories(dir);
    }

    /** The lines the user library logged, starting with one of the prefixes. */
    static List<String> logged(String... prefixes) throws IOException {
        List<String> lines = new ArrayList<>();
        if (!Files.exists(LOG))
            return lines;
        for (String line : Files.readAllLines(LOG, StandardCharsets.UTF_8)) {
            for (String prefix : prefixes) {
                if (line.startsWith(prefix + " ")) {
                    lines.add(line);
                    break;
                }
            }
        }
        return lines;
    }

    static void answer(String word) throws IOException {
        Files.write(ANSWER, word.getBytes(StandardCharsets.US_ASCII));
    }

    /** kelvara-serial-sim on a pseudo-terminal that COM1 leads to. */
    static final class Reader implements AutoCloseable {
        final Path image;
        final Path frameLog;
        private final Process process;

        Reader(Path image, String... options) throws IOException {
            this.image = image;
            this.frameLog = Paths.get(image + ".frames");
            Files.deleteIfExists(frameLog);
            List<String> command = new ArrayList<>(List.of(SIMULATOR.toString(), "--image", image.toString(),
                                                           "--log", frameLog.toString()));
            command.addAll(List.of(options));
            process = new ProcessBuilder(command).redirectError(ProcessBuilder.Redirect.INHERIT).start();
            BufferedReader out =
                new BufferedReader(new InputStreamReader(process.getInputStream(), StandardCharsets.UTF_8));
            String pty = out.readLine();
            if (pty == null)
                throw new IOException("the simulator did not start");
            Thread drain = new Thread(() -> {
                try {
                    while (out.readLine() != null) {
                    }
                } catch (IOException ignored) {
                }
            });
            drain.setDaemon(true);
            drain.start();
            Files.deleteIfExists(COM1);
            Files.createSymbolicLink(COM1, Paths.get(pty));
        }

        /** The frames the reader received so far. */
        List<String> receivedFrames() throws IOException {
            List<String> frames = new ArrayList<>();
            if (Files.exists(frameLog)) {
                for (String line : Files.readAllLines(frameLog, StandardCharsets.UTF_8)) {
                    if (line.startsWith("RX "))
                        frames.add(line);
                }
            }
            return frames;
        }

        @Override
        public void close() throws InterruptedException {
            process.destroy();
            if (!process.waitFor(30, TimeUnit.SECONDS))
                process.destroyForcibly().waitFor();
        }
    }

    /** A second JVM running the example program; its output and exit status. */
    static final class Run {
        final int status;
        final String output;

        Run(int status, String output) {
            this.status = status;
            this.output = output;
        }
    }

    static Run example(String... args) throws IOException, InterruptedException {
        List<String> command = new ArrayList<>();
        command.add(Paths.get(System.getProperty("java.home"), "bin", "java").toString());
        command.add("-Djava.library.path=" + System.getProperty("java.library.path"));
        command.add("-cp");
        command.add(property("kelvara.exampleClassPath"));
        command.add("wqn.vorn.icnative.example.CardCopy");
        command.addAll(List.of(args));
        Process p = new ProcessBuilder(command).redirectError(ProcessBuilder.Redirect.INHERIT).start();
        String output = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
        if (!p.waitFor(120, TimeUnit.SECONDS)) {
            p.destroyForcibly();
            throw new IOException("the example program did not finish");
        }
        return new Run(p.exitValue(), output);
    }
}
