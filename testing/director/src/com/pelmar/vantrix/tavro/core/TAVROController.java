// Entry point of the test director.
package com.pelmar.vantrix.tavro.core;

import com.pelmar.vantrix.tavro.util.AdminServer;
import java.nio.charset.StandardCharsets;

/**
 * A small stand-in for the Tavro director: records how it was started,
 * waits for the service's shutdown through the native wait when it is given
 * the event name, and stops or ignores the stop as its switches say. It ends
 * by returning from main (all its own threads are daemons), so a Java VM
 * inside the service ends its run and a Java process exits with status 0.
 */
public final class TAVROController {
    private static final Object lock = new Object();
    private static boolean done;
    // The service sets its shutdown event just after the stop byte: once
    // stopped that way, main lets the waiter record the wait's end first.
    private static volatile Thread shutdownWaiter;
    private static volatile boolean stoppedByByte;
    private static final long WAITER_GRACE_MS = 10000;

    private TAVROController() {}

    public static void main(String[] args) throws InterruptedException {
        DirectorRecord.line("main", String.join(" ", args));
        long exitMs = DirectorSwitches.exitAfterMs();
        if (exitMs >= 0) startExitTimer(exitMs);
        String event = DirectorSwitches.shutdownEvent();
        if (event != null) startShutdownWait(event);
        boolean linked = DirectorLink.wanted(args);
        if (linked) DirectorLink.start();
        synchronized (lock) {
            while (!done) lock.wait();
        }
        Thread waiter = shutdownWaiter;
        if (stoppedByByte && waiter != null) waiter.join(WAITER_GRACE_MS);
        if (linked) DirectorLink.stopped();
    }

    private static void end() {
        synchronized (lock) {
            done = true;
            lock.notifyAll();
        }
    }

    /** Called when the service asked the director to stop. */
    public static void stopRequested(String how) {
        if (DirectorSwitches.ignoreStop()) {
            DirectorRecord.line("stop", "ignored " + how);
            return;
        }
        DirectorRecord.line("stop", "answered " + how);
        if (how.equals("stop-byte")) stoppedByByte = true;
        end();
    }

    /** Ends the director on its own (when asked to end once linked). */
    static void exitSelf() {
        DirectorRecord.line("exit", "self");
        end();
    }

    private static void startExitTimer(long ms) {
        Thread timer = new Thread(() -> {
            try {
                Thread.sleep(ms);
            } catch (InterruptedException e) {
                return;
            }
            exitSelf();
        }, "director-exit-timer");
        timer.setDaemon(true);
        timer.start();
    }

    /** Waits on the service's shutdown event on a thread of its own. */
    public static void startShutdownWait(String event) {
        Thread waiter = new Thread(() -> {
            byte[] name = event.getBytes(StandardCharsets.ISO_8859_1);
            boolean result = AdminServer.ntSysShutdown(name, name.length);
            DirectorRecord.line("call", "ntSysShutdown " + result);
            stopRequested("shutdown-event");
        }, "director-shutdown-wait");
        waiter.setDaemon(true);
        shutdownWaiter = waiter;
        waiter.start();
    }
}
