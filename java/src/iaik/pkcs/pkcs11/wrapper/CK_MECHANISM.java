package iaik.pkcs.pkcs11.wrapper;

/** A mechanism and its parameter object. */
public class CK_MECHANISM {
    public long mechanism;
    public Object pParameter;
}
