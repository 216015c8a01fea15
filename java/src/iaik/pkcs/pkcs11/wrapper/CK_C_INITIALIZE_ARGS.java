package iaik.pkcs.pkcs11.wrapper;

/** Initialisation arguments. */
public class CK_C_INITIALIZE_ARGS {
    public long flags;
    public Object pReserved;
}
