package iaik.pkcs.pkcs11.wrapper;

/** Parameters of RC5 in CBC mode. */
public class CK_RC5_CBC_PARAMS {
    public long ulWordsize;
    public long ulRounds;
    public byte[] pIv;
}
