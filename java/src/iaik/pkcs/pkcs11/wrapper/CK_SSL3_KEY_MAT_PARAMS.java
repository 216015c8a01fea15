package iaik.pkcs.pkcs11.wrapper;

/** Parameters of SSL 3 key and MAC derivation; results return into pReturnedKeyMaterial. */
public class CK_SSL3_KEY_MAT_PARAMS {
    public long ulMacSizeInBits;
    public long ulKeySizeInBits;
    public long ulIVSizeInBits;
    public boolean bIsExport;
    public CK_SSL3_RANDOM_DATA RandomInfo;
    public CK_SSL3_KEY_MAT_OUT pReturnedKeyMaterial;
}
