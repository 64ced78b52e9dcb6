// Record of what the test director was called with, for tests to read back.
package com.pelmar.vantrix.tavro.core;

import java.io.FileOutputStream;
import java.io.IOException;
import java.io.OutputStream;
import java.nio.charset.StandardCharsets;

/**
 * Appends one line per event to the file that TAVRO_DIRECTOR_RECORD names
 * (standard output when unset): "main ...", "log LEVEL TEXT", "call METHOD
 * RESULT", "stop answered", "stop ignored", "exit self", "error TEXT".
 * Line ends inside a text are written as "\\n" and "\\r", so every event is one
 * line. Lines are written whole and flushed at once, so a test can read the
 * file while the director runs and after it was killed.
 */
public final class DirectorRecord {
    private DirectorRecord() {}

    public static synchronized void line(String tag, String text) {
        if (text != null) text = text.replace("\n", "\\n").replace("\r", "\\r");
        String line = text == null || text.isEmpty() ? tag + "\n" : tag + " " + text + "\n";
        byte[] bytes = line.getBytes(StandardCharsets.UTF_8);
        String path = DirectorSwitches.recordFile();
        if (path == null) {
            System.out.print(line);
            System.out.flush();
            return;
        }
        try (OutputStream out = new FileOutputStream(path, true)) {
            out.write(bytes);
        } catch (IOException e) {
            System.err.println("DirectorRecord: cannot write " + path + ": " + e);
        }
    }
}
