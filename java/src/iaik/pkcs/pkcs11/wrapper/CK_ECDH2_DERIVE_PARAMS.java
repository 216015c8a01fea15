package iaik.pkcs.pkcs11.wrapper;

/** Parameters of ECMQV derivation. */
public class CK_ECDH2_DERIVE_PARAMS {
    public long kdf;
    public byte[] pSharedData;
    public byte[] pPublicData;
    public long ulPrivateDataLen;
    public long hPrivateData;
    public byte[] pPublicData2;
}
