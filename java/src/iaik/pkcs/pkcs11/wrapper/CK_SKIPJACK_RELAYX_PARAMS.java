package iaik.pkcs.pkcs11.wrapper;

/** Parameters of SKIPJACK RELAYX. */
public class CK_SKIPJACK_RELAYX_PARAMS {
    public byte[] pOldWrappedX;
    public byte[] pOldPassword;
    public byte[] pOldPublicData;
    public byte[] pOldRandomA;
    public byte[] pNewPassword;
    public byte[] pNewPublicData;
    public byte[] pNewRandomA;
}
