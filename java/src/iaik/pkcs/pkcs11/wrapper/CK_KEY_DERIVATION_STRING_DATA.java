package iaik.pkcs.pkcs11.wrapper;

/** Data of the string-based key derivations. */
public class CK_KEY_DERIVATION_STRING_DATA {
    public byte[] pData;
}
