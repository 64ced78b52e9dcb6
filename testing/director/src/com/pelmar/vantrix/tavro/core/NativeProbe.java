// Test driver that calls the director's native methods on command.
package com.pelmar.vantrix.tavro.core;

import com.pelmar.vantrix.tavro.util.AdminServer;
import com.pelmar.vantrix.tavro.util.WindowsNoOrphans;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.DirectoryStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.List;

/**
 * Runs the commands given as arguments in order and records each result as
 * "call METHOD RESULT" (see DirectorRecord):
 *   pid                    ntPid, plus "self PID" with the JVM's own id
 *   javadone:TEXT          ntSignalJavaDone
 *   affinity               ntSetAffinity
 *   shutdown:NAME[:LEN]    ntSysShutdown with LEN (default: the name's length);
 *                          "begin ntSysShutdown" is recorded before the call
 *   dead                   IsNTDirectorDead, after "begin IsNTDirectorDead"
 *   threads:N:ROUNDS       ROUNDS times N short-lived threads that each make a
 *                          native call which logs; once all of them have
 *                          ended natively too, "call threads done"
 */
public final class NativeProbe {
    private NativeProbe() {}

    public static void main(String[] args) throws InterruptedException {
        for (String command : args) run(command);
        DirectorRecord.line("done", "");
    }

    private static byte[] bytes(String text) { return text.getBytes(StandardCharsets.ISO_8859_1); }

    private static void run(String command) throws InterruptedException {
        String[] part = command.split(":", 3);
        switch (part[0]) {
            case "pid":
                DirectorRecord.line("self", Long.toString(ProcessHandle.current().pid()));
                DirectorRecord.line("call", "ntPid " + AdminServer.ntPid());
                break;
            case "javadone":
                DirectorRecord.line("call", "ntSignalJavaDone "
                        + AdminServer.ntSignalJavaDone(bytes(part.length > 1 ? part[1] : "")));
                break;
            case "affinity":
                DirectorRecord.line("call", "ntSetAffinity " + AdminServer.ntSetAffinity(bytes("")));
                break;
            case "shutdown": {
                byte[] name = bytes(part[1]);
                int length = part.length > 2 ? Integer.parseInt(part[2]) : name.length;
                DirectorRecord.line("begin", "ntSysShutdown");
                DirectorRecord.line("call", "ntSysShutdown " + AdminServer.ntSysShutdown(name, length));
                break;
            }
            case "dead":
                DirectorRecord.line("begin", "IsNTDirectorDead");
                DirectorRecord.line("call", "IsNTDirectorDead " + WindowsNoOrphans.IsNTDirectorDead());
                break;
            case "threads":
                manyThreads(Integer.parseInt(part[1]), Integer.parseInt(part[2]));
                if (!awaitNativeEnd(THREAD_PREFIX, 30000))
                    DirectorRecord.line("error", "threads still running natively");
                DirectorRecord.line("call", "threads done");
                break;
            default:
                DirectorRecord.line("error", "unknown command " + command);
        }
    }

    private static final String THREAD_PREFIX = "Qim-missing-";

    /** Threads come and go while each logs from native code. */
    private static void manyThreads(int count, int rounds) throws InterruptedException {
        for (int round = 0; round < rounds; ++round) {
            List<Thread> threads = new ArrayList<>();
            for (int i = 0; i < count; ++i) {
                String name = THREAD_PREFIX + round + "-" + i;
                Thread thread = new Thread(() -> AdminServer.ntSysShutdown(bytes(name), name.length()));
                threads.add(thread);
                thread.start();
            }
            for (Thread thread : threads) thread.join();
        }
    }

    /**
     * Waits until no thread of the process whose name starts with `prefix`
     * (the VM gives its threads their Java name, cut to 15 bytes) exists any
     * more, for at most `boundMs`. Thread.join() returns while the thread is
     * still ending natively, before its native thread-exit work has run.
     */
    private static boolean awaitNativeEnd(String prefix, long boundMs) throws InterruptedException {
        long deadline = System.nanoTime() + boundMs * 1_000_000L;
        while (anyNativeThread(prefix)) {
            if (System.nanoTime() - deadline > 0) return false;
            Thread.sleep(5);
        }
        return true;
    }

    private static boolean anyNativeThread(String prefix) {
        try (DirectoryStream<Path> tasks = Files.newDirectoryStream(Paths.get("/proc/self/task"))) {
            for (Path task : tasks) {
                try {
                    if (Files.readString(task.resolve("comm")).startsWith(prefix)) return true;
                } catch (IOException e) {
                    // the thread ended while it was being looked at
                }
            }
        } catch (IOException e) {
            DirectorRecord.line("error", "thread list: " + e.getMessage());
        }
        return false;
    }
}
