package iaik.pkcs.pkcs11.wrapper;

/** Information about a mechanism. */
public class CK_MECHANISM_INFO {
    public long ulMinKeySize;
    public long ulMaxKeySize;
    public long flags;
}
