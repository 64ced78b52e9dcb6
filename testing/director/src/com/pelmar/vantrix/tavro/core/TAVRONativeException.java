// Exception that native code of the director's libraries throws.
package com.pelmar.vantrix.tavro.core;

/** Thrown by native methods with the text of the failure. */
public class TAVRONativeException extends Exception {
    private static final long serialVersionUID = 1L;

    public TAVRONativeException(String message) { super(message); }
}
