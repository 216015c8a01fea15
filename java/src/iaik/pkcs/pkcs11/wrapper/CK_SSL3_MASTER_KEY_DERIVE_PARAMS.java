package iaik.pkcs.pkcs11.wrapper;

/** Parameters of SSL 3 master key derivation; the client version is returned into pVersion. */
public class CK_SSL3_MASTER_KEY_DERIVE_PARAMS {
    public CK_SSL3_RANDOM_DATA RandomInfo;
    public CK_VERSION pVersion;
}
