// A parcel that lacks all getters but the contact's.
package com.pelmar.vantrix.tavro.util.nativeapi;

/** Only getContactInfo: the native entry finds the other five missing. */
public class ContactOnlyParcel {
    private final String contact;

    public ContactOnlyParcel(String contact) { this.contact = contact; }

    public String getContactInfo() { return contact; }
}
