package iaik.pkcs.pkcs11.wrapper;

/** Parameters of X9.42 DH derivation. */
public class CK_X9_42_DH1_DERIVE_PARAMS {
    public long kdf;
    public byte[] pOtherInfo;
    public byte[] pPublicData;
}
