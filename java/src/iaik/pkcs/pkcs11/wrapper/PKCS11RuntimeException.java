package iaik.pkcs.pkcs11.wrapper;

/** A failure of the wrapper itself: not connected, or a Java value with no PKCS#11 form. */
public class PKCS11RuntimeException extends RuntimeException {
    private static final long serialVersionUID = 1L;

    public PKCS11RuntimeException() {
        super();
    }

    public PKCS11RuntimeException(String message) {
        super(message);
    }
}
