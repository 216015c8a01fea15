package iaik.pkcs.pkcs11.wrapper;

/** Parameters of SET OAEP key wrapping; unwrapping returns bBC and pX. */
public class CK_KEY_WRAP_SET_OAEP_PARAMS {
    public byte bBC;
    public byte[] pX;
}
