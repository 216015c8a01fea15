package iaik.pkcs.pkcs11.wrapper;

/** General information about a module. */
public class CK_INFO {
    public CK_VERSION cryptokiVersion;
    public char[] manufacturerID;
    public long flags;
    public char[] libraryDescription;
    public CK_VERSION libraryVersion;
}
