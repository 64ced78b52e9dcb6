// Test driver that submits parcels through the native entry and records the outcome.
package com.pelmar.vantrix.tavro.core;

import com.pelmar.vantrix.tavro.util.nativeapi.ContactOnlyParcel;
import com.pelmar.vantrix.tavro.util.nativeapi.JEXLinkAPI;
import com.pelmar.vantrix.tavro.util.nativeapi.TestParcel;
import java.util.ArrayList;
import java.util.List;

/**
 * Arguments, in any order:
 *   GETTER=TEXT      the parcel's answer (getSubject, getBody, getOSType,
 *                    getEntityType, getSoftwareVer, getContactInfo); a getter
 *                    not named answers null; TEXT "!throw" makes it throw
 *   access=TEXT      the access number (null when not given)
 *   parcel=null      pass a null parcel; parcel=contactonly a parcel that
 *                    has only getContactInfo (answering the getContactInfo text)
 *   returncode=N     m_returnCode before the call (default 12345)
 *   threads=N        N submissions at once, each on its own thread
 * Each submission records "call sendJEXParcel RESULT", "returnCode N",
 * "exception TEXT" (or "exception none") and "getters COUNTS", prefixed by
 * "[i] " with threads; then "done".
 */
public final class ParcelProbe {
    private ParcelProbe() {}

    public static void main(String[] args) throws InterruptedException {
        String access = null;
        String parcelKind = "test";
        int returnCode = 12345;
        int threads = 0;
        List<String[]> texts = new ArrayList<>();
        for (String arg : args) {
            String[] pair = arg.split("=", 2);
            String value = pair.length > 1 ? pair[1] : "";
            switch (pair[0]) {
                case "access": access = value; break;
                case "parcel": parcelKind = value; break;
                case "returncode": returnCode = Integer.parseInt(value); break;
                case "threads": threads = Integer.parseInt(value); break;
                default: texts.add(new String[] {pair[0], value});
            }
        }
        if (threads == 0) {
            submit("", parcelKind, texts, access, returnCode);
        } else {
            List<Thread> running = new ArrayList<>();
            for (int i = 0; i < threads; ++i) {
                String prefix = "[" + i + "] ";
                final String number = access;
                final String kind = parcelKind;
                final int code = returnCode;
                Thread thread = new Thread(() -> submit(prefix, kind, texts, number, code));
                running.add(thread);
                thread.start();
            }
            for (Thread thread : running) thread.join();
        }
        DirectorRecord.line("done", "");
    }

    private static void submit(String prefix, String parcelKind, List<String[]> texts, String access,
                               int returnCode) {
        Object parcel = null;
        TestParcel counted = null;
        String contact = null;
        for (String[] text : texts)
            if (text[0].equals("getContactInfo")) contact = text[1];
        if (parcelKind.equals("test")) {
            counted = new TestParcel();
            for (String[] text : texts) counted.set(text[0], text[1]);
            parcel = counted;
        } else if (parcelKind.equals("contactonly")) {
            parcel = new ContactOnlyParcel(contact);
        }
        JEXLinkAPI api = new JEXLinkAPI();
        api.m_returnCode = returnCode;
        String thrown = "none";
        int result;
        try {
            result = api.sendJEXParcel(parcel, access);
        } catch (TAVRONativeException e) {
            result = Integer.MIN_VALUE;
            thrown = e.getMessage();
        }
        if (result == Integer.MIN_VALUE) {
            // The thrown exception hides the result; the return code holds it.
            DirectorRecord.line(prefix + "call", "sendJEXParcel thrown");
        } else {
            DirectorRecord.line(prefix + "call", "sendJEXParcel " + result);
        }
        DirectorRecord.line(prefix + "returnCode", Integer.toString(api.m_returnCode));
        DirectorRecord.line(prefix + "exception", thrown);
        if (counted != null) DirectorRecord.line(prefix + "getters", counted.counts());
    }
}
