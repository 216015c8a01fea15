package iaik.pkcs.pkcs11.wrapper;

/** A date as characters: year (4), month (2), day (2). */
public class CK_DATE {
    public char[] year;
    public char[] month;
    public char[] day;
}
