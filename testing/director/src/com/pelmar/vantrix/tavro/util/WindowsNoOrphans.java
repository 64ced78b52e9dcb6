// Native wait for the end of the director process.
package com.pelmar.vantrix.tavro.util;

/** Lets a helper process wait until the director named in the status file ends. */
public final class WindowsNoOrphans {
    static { HostsysLibrary.load(); }

    private WindowsNoOrphans() {}

    public static native boolean IsNTDirectorDead();
}
