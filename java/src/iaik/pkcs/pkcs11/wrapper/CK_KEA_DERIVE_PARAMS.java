package iaik.pkcs.pkcs11.wrapper;

/** Parameters of KEA key derivation. */
public class CK_KEA_DERIVE_PARAMS {
    public boolean isSender;
    public byte[] pRandomA;
    public byte[] pRandomB;
    public byte[] pPublicData;
}
