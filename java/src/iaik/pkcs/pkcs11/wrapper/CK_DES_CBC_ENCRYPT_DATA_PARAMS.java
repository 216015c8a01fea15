package iaik.pkcs.pkcs11.wrapper;

/** Parameters of DES CBC encrypt-data derivation (8-byte iv). */
public class CK_DES_CBC_ENCRYPT_DATA_PARAMS {
    public byte[] iv;
    public byte[] pData;
}
