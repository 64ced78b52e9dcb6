// A director's entry class without the return-code field, for the native entry's missing-field path.
package com.pelmar.vantrix.tavro.util.nativeapi;

/**
 * The same native method as the director's JEXLinkAPI, in a class that has
 * no m_returnCode; the jar that holds it has no TAVRONativeException either.
 */
public class JEXLinkAPI {
    static { System.loadLibrary("JEXLinkAPI"); }

    public native int sendJEXParcel(Object parcel, String accessNumber);
}
