// The test director's side of the service's socket link.
package com.pelmar.vantrix.tavro.core;

import java.io.FileOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.net.ServerSocket;
import java.net.Socket;
import java.net.SocketTimeoutException;
import java.nio.charset.StandardCharsets;

/**
 * What the service requires of its director over the link, for a director
 * started by the service (its arguments hold "-errf"):
 *
 *   - serves the link port (TAVRO_DIRECTOR_PORT, 9292 by default) on this
 *     host's address: the probe byte 9 is answered with 9, the stop byte 7
 *     with 7 and then taken as a stop request;
 *   - connects to the service's listener on port 9293 (a test that runs no
 *     service names another in TAVRO_DIRECTOR_SERVICE_PORT), reads the hello
 *     "Qim-<pid>", answers with its own pid in decimal (unless
 *     TAVRO_DIRECTOR_NO_PID is set), writes "SYSTEM_UP <pid>" to
 *     specific/tavro/data/tavro.stat under the home (-DVantrix.Home or
 *     VANTRIX_HOME) and waits in ntSysShutdown on the hello's event.
 *
 * Recorded lines: "link serving PORT", "link hello TEXT", "link pid sent",
 * "link probe", "link stop", "error link ...".
 */
public final class DirectorLink {
    private static final int PROBE = 9;
    private static final int STOP = 7;
    private static final int HELLO_PAUSE_MS = 20;
    private static Socket serviceLink;  // kept open for the director's life

    private DirectorLink() {}

    static boolean wanted(String[] args) {
        for (String arg : args) {
            if ("-errf".equals(arg)) return true;
        }
        return false;
    }

    static void start() {
        daemon("director-link-server", DirectorLink::serve);
        daemon("director-link-client", DirectorLink::connect);
    }

    /** Records the director's end in the status file. */
    static void stopped() {
        writeStatus("SYSTEM_DOWN");
    }

    private static void daemon(String name, Runnable body) {
        Thread thread = new Thread(body, name);
        thread.setDaemon(true);
        thread.start();
    }

    private static int port(String name, int fixed) {
        String value = DirectorSwitches.get(name);
        try {
            return value == null ? fixed : Integer.parseInt(value.trim());
        } catch (NumberFormatException e) {
            return fixed;
        }
    }

    private static int linkPort() {
        return port("TAVRO_DIRECTOR_PORT", 9292);
    }

    private static int servicePort() {
        return port("TAVRO_DIRECTOR_SERVICE_PORT", 9293);
    }

    private static void serve() {
        int port = linkPort();
        try (ServerSocket server = new ServerSocket()) {
            server.setReuseAddress(true);
            server.bind(new InetSocketAddress(InetAddress.getLocalHost(), port));
            DirectorRecord.line("link", "serving " + port);
            for (;;) {
                try (Socket peer = server.accept()) {
                    int code = peer.getInputStream().read();
                    if (code == PROBE) DirectorRecord.line("link", "probe");
                    if (code == STOP) DirectorRecord.line("link", "stop");
                    if (code >= 0) peer.getOutputStream().write(code);
                    peer.getOutputStream().flush();
                    if (code == STOP) TAVROController.stopRequested("stop-byte");
                }
            }
        } catch (IOException e) {
            DirectorRecord.line("error", "link port " + port + ": " + e.getMessage());
        }
    }

    private static void connect() {
        Socket socket = null;
        int servicePort = servicePort();
        for (int i = 0; i < 100 && socket == null; ++i) {
            try {
                socket = new Socket(InetAddress.getLocalHost(), servicePort);
            } catch (IOException e) {
                sleep(100);
            }
        }
        if (socket == null) {
            DirectorRecord.line("error", "link no service on " + servicePort);
            return;
        }
        serviceLink = socket;
        try {
            String hello = readHello(socket);
            DirectorRecord.line("link", "hello " + hello);
            if (!hello.startsWith("Qim-")) return;
            long pid = ProcessHandle.current().pid();
            if (!DirectorSwitches.noPid()) {
                OutputStream out = socket.getOutputStream();
                out.write(Long.toString(pid).getBytes(StandardCharsets.US_ASCII));
                out.flush();
                DirectorRecord.line("link", "pid sent");
            }
            writeStatus("SYSTEM_UP");
            TAVROController.startShutdownWait(hello);
            String contact = DirectorSwitches.parcelContact();
            if (contact != null) DirectorParcel.send(contact);
            if (DirectorSwitches.exitWhenLinked()) TAVROController.exitSelf();
        } catch (IOException e) {
            DirectorRecord.line("error", "link " + e.getMessage());
        }
    }

    /**
     * The hello: what arrives until the service pauses; stop bytes stop. The
     * service writes its hello in one send, so a short pause ends it.
     */
    private static String readHello(Socket socket) throws IOException {
        socket.setSoTimeout(5000);
        InputStream in = socket.getInputStream();
        StringBuilder text = new StringBuilder();
        byte[] buffer = new byte[64];
        while (text.length() < 52) {
            int n;
            try {
                n = in.read(buffer);
            } catch (SocketTimeoutException e) {
                break;
            }
            if (n < 0) break;
            for (int i = 0; i < n; ++i) {
                if (buffer[i] == STOP && text.length() == 0) {
                    DirectorRecord.line("link", "stop before hello");
                    TAVROController.stopRequested("link-stop");
                    continue;
                }
                text.append((char) (buffer[i] & 0xFF));
            }
            if (text.length() > 0) socket.setSoTimeout(HELLO_PAUSE_MS);
        }
        return text.toString();
    }

    private static void writeStatus(String state) {
        String home = System.getProperty("Vantrix.Home");
        if (home == null || home.isEmpty()) home = DirectorSwitches.get("VANTRIX_HOME");
        if (home == null) return;
        String line = state + " " + ProcessHandle.current().pid() + "\n";
        try (FileOutputStream out = new FileOutputStream(home + "/specific/tavro/data/tavro.stat")) {
            out.write(line.getBytes(StandardCharsets.US_ASCII));
        } catch (IOException e) {
            DirectorRecord.line("error", "status file " + e.getMessage());
        }
    }

    private static void sleep(long ms) {
        try {
            Thread.sleep(ms);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
    }
}
