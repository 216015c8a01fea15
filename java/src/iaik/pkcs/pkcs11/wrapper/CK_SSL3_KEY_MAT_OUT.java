package iaik.pkcs.pkcs11.wrapper;

/** Handles and IVs returned by an SSL 3 key and MAC derivation. */
public class CK_SSL3_KEY_MAT_OUT {
    public long hClientMacSecret;
    public long hServerMacSecret;
    public long hClientKey;
    public long hServerKey;
    public byte[] pIVClient;
    public byte[] pIVServer;
}
