package iaik.pkcs.pkcs11.wrapper;

/** Parameters of general-length RC2 MAC. */
public class CK_RC2_MAC_GENERAL_PARAMS {
    public long ulEffectiveBits;
    public long ulMacLength;
}
