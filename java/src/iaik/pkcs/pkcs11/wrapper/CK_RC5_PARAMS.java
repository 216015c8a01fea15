package iaik.pkcs.pkcs11.wrapper;

/** Parameters of RC5. */
public class CK_RC5_PARAMS {
    public long ulWordsize;
    public long ulRounds;
}
