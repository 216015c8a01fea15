package iaik.pkcs.pkcs11.wrapper;

/** Parameters of SKIPJACK private-key wrapping. */
public class CK_SKIPJACK_PRIVATE_WRAP_PARAMS {
    public byte[] pPassword;
    public byte[] pPublicData;
    public byte[] pRandomA;
    public byte[] pPrimeP;
    public byte[] pBaseG;
    public byte[] pSubprimeQ;
}
