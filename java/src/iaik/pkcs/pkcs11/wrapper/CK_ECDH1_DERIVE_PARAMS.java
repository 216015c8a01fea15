package iaik.pkcs.pkcs11.wrapper;

/** Parameters of ECDH derivation. */
public class CK_ECDH1_DERIVE_PARAMS {
    public long kdf;
    public byte[] pSharedData;
    public byte[] pPublicData;
}
