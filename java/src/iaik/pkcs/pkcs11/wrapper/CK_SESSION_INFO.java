package iaik.pkcs.pkcs11.wrapper;

/** Information about a session. */
public class CK_SESSION_INFO {
    public long slotID;
    public long state;
    public long flags;
    public long ulDeviceError;
}
