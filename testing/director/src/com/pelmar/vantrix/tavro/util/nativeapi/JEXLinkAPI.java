// The director's entry into the support network: new service requests.
package com.pelmar.vantrix.tavro.util.nativeapi;

import com.pelmar.vantrix.tavro.core.DirectorRecord;
import com.pelmar.vantrix.tavro.core.TAVRONativeException;

/**
 * Submits a parcel as a new service request through libJEXLinkAPI. On a
 * failure the native method sets m_returnCode and throws
 * TAVRONativeException with the error's text.
 */
public class JEXLinkAPI {
    public int m_returnCode;

    static {
        try {
            System.loadLibrary("JEXLinkAPI");
        } catch (UnsatisfiedLinkError e) {
            DirectorRecord.line("error", "loadLibrary JEXLinkAPI: " + e.getMessage());
        }
    }

    /** 0 accepted, -1 no contact address, 6 communication failure, 8 other failure. */
    public native int sendJEXParcel(Object parcel, String accessNumber) throws TAVRONativeException;
}
