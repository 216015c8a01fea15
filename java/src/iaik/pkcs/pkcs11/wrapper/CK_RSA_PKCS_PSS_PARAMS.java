package iaik.pkcs.pkcs11.wrapper;

/** Parameters of RSA PSS. */
public class CK_RSA_PKCS_PSS_PARAMS {
    public long hashAlg;
    public long mgf;
    public long sLen;
}
