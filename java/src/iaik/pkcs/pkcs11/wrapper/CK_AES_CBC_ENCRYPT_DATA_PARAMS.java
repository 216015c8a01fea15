package iaik.pkcs.pkcs11.wrapper;

/** Parameters of AES CBC encrypt-data derivation (16-byte iv). */
public class CK_AES_CBC_ENCRYPT_DATA_PARAMS {
    public byte[] iv;
    public byte[] pData;
}
