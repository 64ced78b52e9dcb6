// The director's one service request, sent once its service link is up.
package com.pelmar.vantrix.tavro.core;

import com.pelmar.vantrix.tavro.util.nativeapi.JEXLinkAPI;
import com.pelmar.vantrix.tavro.util.nativeapi.TestParcel;

/**
 * Submits one parcel through libJEXLinkAPI's native entry, as the director
 * does when a device reports a fault, with the contact address of
 * TAVRO_DIRECTOR_PARCEL. Records "call sendJEXParcel RESULT" (or "thrown"),
 * "returnCode N" and "exception TEXT" (or "exception none").
 */
final class DirectorParcel {
    private DirectorParcel() {}

    static void send(String contact) {
        TestParcel parcel = new TestParcel();
        parcel.set("getSubject", "Fan failure on blade 3");
        parcel.set("getBody", "The fan of blade 3 stopped at 02:14.\nTemperature is rising.");
        parcel.set("getOSType", "Linux");
        parcel.set("getEntityType", "Blade");
        parcel.set("getSoftwareVer", "2.2");
        parcel.set("getContactInfo", contact);
        JEXLinkAPI api = new JEXLinkAPI();
        String thrown = "none";
        try {
            int result = api.sendJEXParcel(parcel, "acc-1");
            DirectorRecord.line("call", "sendJEXParcel " + result);
        } catch (TAVRONativeException e) {
            thrown = e.getMessage();
            DirectorRecord.line("call", "sendJEXParcel thrown");
        }
        DirectorRecord.line("returnCode", Integer.toString(api.m_returnCode));
        DirectorRecord.line("exception", thrown);
    }
}
