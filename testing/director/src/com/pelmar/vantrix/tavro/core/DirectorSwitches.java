// Switches of the test director, read from its environment.
package com.pelmar.vantrix.tavro.core;

/**
 * The test director's behaviour switches. They come from environment
 * variables so that they reach the director however the service starts it
 * (inside its own Java VM or through the tree's batch script).
 *
 *   TAVRO_DIRECTOR_RECORD     file that DirectorRecord appends to
 *   TAVRO_DIRECTOR_STOP       "answer" (default): stop when asked;
 *                             "ignore": record the request and go on
 *   TAVRO_DIRECTOR_EXIT_MS    end the process on its own after this many ms
 *   TAVRO_DIRECTOR_EXIT_LINKED set: end on its own as soon as the service
 *                             link is up (hello answered, status written);
 *                             TAVRO_DIRECTOR_EXIT_MS then bounds the wait
 *   TAVRO_DIRECTOR_PARCEL     contact address: once the link is up, send one
 *                             service request through libJEXLinkAPI (before
 *                             ending, with TAVRO_DIRECTOR_EXIT_LINKED)
 *   TAVRO_DIRECTOR_NO_PID     set: never report the process id to the service
 *   TAVRO_DIRECTOR_EVENT      shutdown event name to wait on at start-up
 *   TAVRO_DIRECTOR_LOG_THROW  logItem throws for texts containing this
 */
public final class DirectorSwitches {
    private DirectorSwitches() {}

    static String get(String name) {
        String value = System.getenv(name);
        return value == null || value.isEmpty() ? null : value;
    }

    public static String recordFile() { return get("TAVRO_DIRECTOR_RECORD"); }

    public static boolean ignoreStop() { return "ignore".equalsIgnoreCase(get("TAVRO_DIRECTOR_STOP")); }

    public static long exitAfterMs() {
        String value = get("TAVRO_DIRECTOR_EXIT_MS");
        if (value == null) return -1;
        try {
            return Long.parseLong(value.trim());
        } catch (NumberFormatException e) {
            return -1;
        }
    }

    public static boolean exitWhenLinked() { return get("TAVRO_DIRECTOR_EXIT_LINKED") != null; }

    public static String parcelContact() { return get("TAVRO_DIRECTOR_PARCEL"); }

    public static boolean noPid() { return get("TAVRO_DIRECTOR_NO_PID") != null; }

    public static String shutdownEvent() { return get("TAVRO_DIRECTOR_EVENT"); }

    public static String logThrow() { return get("TAVRO_DIRECTOR_LOG_THROW"); }
}
