// A parcel for the native entry's tests: settable texts, counted getters.
package com.pelmar.vantrix.tavro.util.nativeapi;

import java.util.Map;
import java.util.TreeMap;
import java.util.concurrent.atomic.AtomicInteger;

/**
 * The six getters the native entry calls. A text may be null; a getter
 * whose text is "!throw" throws an IllegalStateException instead of
 * answering. Every call is counted per getter.
 */
public class TestParcel {
    private final Map<String, String> texts = new TreeMap<>();
    private final Map<String, AtomicInteger> calls = new TreeMap<>();

    public static final String[] GETTERS = {
        "getSubject", "getBody", "getOSType", "getEntityType", "getSoftwareVer", "getContactInfo",
    };

    public TestParcel() {
        for (String getter : GETTERS) calls.put(getter, new AtomicInteger());
    }

    public void set(String getter, String text) { texts.put(getter, text); }

    /** "getSubject=1 getBody=1 ..." in the order of GETTERS. */
    public String counts() {
        StringBuilder out = new StringBuilder();
        for (String getter : GETTERS) {
            if (out.length() > 0) out.append(' ');
            out.append(getter).append('=').append(calls.get(getter).get());
        }
        return out.toString();
    }

    private String answer(String getter) {
        calls.get(getter).incrementAndGet();
        String text = texts.get(getter);
        if ("!throw".equals(text)) throw new IllegalStateException(getter + " refuses");
        return text;
    }

    public String getSubject() { return answer("getSubject"); }
    public String getBody() { return answer("getBody"); }
    public String getOSType() { return answer("getOSType"); }
    public String getEntityType() { return answer("getEntityType"); }
    public String getSoftwareVer() { return answer("getSoftwareVer"); }
    public String getContactInfo() { return answer("getContactInfo"); }
}
