package iaik.pkcs.pkcs11.wrapper;

/** Parameters of PKCS #5 PBKDF2. */
public class CK_PKCS5_PBKD2_PARAMS {
    public long saltSource;
    public byte[] pSaltSourceData;
    public long iterations;
    public long prf;
    public byte[] pPrfData;
}
