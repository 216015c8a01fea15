package iaik.pkcs.pkcs11.wrapper;

/** Parameters of RC2 in CBC mode. */
public class CK_RC2_CBC_PARAMS {
    public long ulEffectiveBits;
    public byte[] iv;
}
