// Test driver for a director without the return-code field and the exception class.
package com.pelmar.vantrix.tavro.core;

import com.pelmar.vantrix.tavro.util.nativeapi.JEXLinkAPI;

/**
 * Submits a parcel whose only getter is getContactInfo, answering the first
 * argument ("null" for null), and prints "result N" and "exception TEXT" (or
 * "exception none") on standard output, then "done".
 */
public final class BareParcelProbe {
    private BareParcelProbe() {}

    /** A parcel with the contact getter only. */
    public static final class Parcel {
        private final String contact;

        Parcel(String contact) { this.contact = contact; }

        public String getContactInfo() { return contact; }
    }

    public static void main(String[] args) {
        String contact = args.length > 0 && !args[0].equals("null") ? args[0] : null;
        String thrown = "none";
        int result = Integer.MIN_VALUE;
        try {
            result = new JEXLinkAPI().sendJEXParcel(new Parcel(contact), "acc");
        } catch (Throwable e) {
            thrown = e.toString();
        }
        System.out.println("result " + result);
        System.out.println("exception " + thrown);
        System.out.println("done");
    }
}
