// Loads native libraries by name, as the director does, and says how each went.
package com.pelmar.vantrix.tavro.core;

/**
 * Arguments: library names ("Hostsys", "JEXLinkAPI"). Prints "loaded NAME"
 * for each one System.loadLibrary found on java.library.path, or
 * "failed NAME: WHY" and exits with 1.
 */
public final class LibraryProbe {
    private LibraryProbe() {}

    public static void main(String[] args) {
        int status = 0;
        for (String name : args) {
            try {
                System.loadLibrary(name);
                System.out.println("loaded " + name);
            } catch (UnsatisfiedLinkError e) {
                System.out.println("failed " + name + ": " + e.getMessage());
                status = 1;
            }
        }
        System.exit(status);
    }
}
