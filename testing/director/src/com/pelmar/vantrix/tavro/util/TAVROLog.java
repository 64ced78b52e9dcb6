// The director's log class, called by native code.
package com.pelmar.vantrix.tavro.util;

import com.pelmar.vantrix.tavro.core.DirectorRecord;
import com.pelmar.vantrix.tavro.core.DirectorSwitches;

/** Writes each log item to the director's record as "log LEVEL TEXT". */
public final class TAVROLog {
    private TAVROLog() {}

    public static boolean logItem(String text, int level) {
        DirectorRecord.line("log", level + " " + text);
        String trigger = DirectorSwitches.logThrow();
        if (trigger != null && text != null && text.contains(trigger)) {
            throw new IllegalStateException("TAVROLog refuses: " + text);
        }
        return true;
    }
}
