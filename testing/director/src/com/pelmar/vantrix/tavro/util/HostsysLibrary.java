// Loads the native host support library for the admin classes.
package com.pelmar.vantrix.tavro.util;

import com.pelmar.vantrix.tavro.core.DirectorRecord;

/** Loads libHostsys once; a failure is recorded and left to the first call. */
final class HostsysLibrary {
    private static boolean loaded;

    private HostsysLibrary() {}

    static synchronized void load() {
        if (loaded) return;
        try {
            System.loadLibrary("Hostsys");
            loaded = true;
        } catch (UnsatisfiedLinkError e) {
            DirectorRecord.line("error", "loadLibrary Hostsys: " + e.getMessage());
        }
    }
}
