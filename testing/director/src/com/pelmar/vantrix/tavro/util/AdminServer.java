// Native admin methods of the director, served by libHostsys.
package com.pelmar.vantrix.tavro.util;

/** The director's native hooks into the host: shutdown wait, affinity, pid. */
public final class AdminServer {
    static { HostsysLibrary.load(); }

    private AdminServer() {}

    /** Blocks until the service sets the named event or the service ends. */
    public static native boolean ntSysShutdown(byte[] name, int length);

    public static native boolean ntSetAffinity(byte[] text);

    public static native boolean ntSignalJavaDone(byte[] text);

    public static native long ntPid();
}
