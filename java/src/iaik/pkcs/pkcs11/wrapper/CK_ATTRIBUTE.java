package iaik.pkcs.pkcs11.wrapper;

/** One attribute: its type and its value (a boxed number, array, String, CK_DATE or CK_ATTRIBUTE[]). */
public class CK_ATTRIBUTE {
    public long type;
    public Object pValue;
}
