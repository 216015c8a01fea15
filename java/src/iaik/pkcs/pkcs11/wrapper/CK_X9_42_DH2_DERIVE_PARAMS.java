package iaik.pkcs.pkcs11.wrapper;

/** Parameters of X9.42 hybrid and MQV derivation. */
public class CK_X9_42_DH2_DERIVE_PARAMS {
    public long kdf;
    public byte[] pOtherInfo;
    public byte[] pPublicData;
    public long ulPrivateDataLen;
    public long hPrivateData;
    public byte[] pPublicData2;
}
