package iaik.pkcs.pkcs11.wrapper;

/** A PKCS#11 function returned a status other than CKR_OK; the status is the error code. */
public class PKCS11Exception extends Exception {
    private static final long serialVersionUID = 1L;

    private final long errorCode;

    public PKCS11Exception(long errorCode) {
        super(String.format("0x%08X", errorCode));
        this.errorCode = errorCode;
    }

    public long getErrorCode() {
        return errorCode;
    }
}
