package iaik.pkcs.pkcs11.wrapper;

/** Client and server random data of SSL 3 derivations. */
public class CK_SSL3_RANDOM_DATA {
    public byte[] pClientRandom;
    public byte[] pServerRandom;
}
