package iaik.pkcs.pkcs11.wrapper;

/** Parameters of general-length RC5 MAC. */
public class CK_RC5_MAC_GENERAL_PARAMS {
    public long ulWordsize;
    public long ulRounds;
    public long ulMacLength;
}
