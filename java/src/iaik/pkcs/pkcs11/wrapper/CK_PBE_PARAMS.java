package iaik.pkcs.pkcs11.wrapper;

/** Parameters of password-based encryption; the IV is returned into pInitVector. */
public class CK_PBE_PARAMS {
    public char[] pInitVector;
    public char[] pPassword;
    public char[] pSalt;
    public long ulIteration;
}
