package iaik.pkcs.pkcs11.wrapper;

/** Parameters of RSA OAEP. */
public class CK_RSA_PKCS_OAEP_PARAMS {
    public long hashAlg;
    public long mgf;
    public long source;
    public byte[] pSourceData;
}
