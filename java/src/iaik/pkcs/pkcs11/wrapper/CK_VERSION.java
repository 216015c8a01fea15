package iaik.pkcs.pkcs11.wrapper;

/** A version number: major and minor byte. */
public class CK_VERSION {
    public byte major;
    public byte minor;
}
