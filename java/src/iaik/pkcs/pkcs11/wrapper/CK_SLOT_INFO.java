package iaik.pkcs.pkcs11.wrapper;

/** Information about a slot. */
public class CK_SLOT_INFO {
    public char[] slotDescription;
    public char[] manufacturerID;
    public long flags;
    public CK_VERSION hardwareVersion;
    public CK_VERSION firmwareVersion;
}
