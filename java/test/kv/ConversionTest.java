package kv;

import iaik.pkcs.pkcs11.wrapper.CK_ATTRIBUTE;
import iaik.pkcs.pkcs11.wrapper.CK_MECHANISM;
import iaik.pkcs.pkcs11.wrapper.CK_SSL3_KEY_MAT_OUT;
import iaik.pkcs.pkcs11.wrapper.CK_SSL3_KEY_MAT_PARAMS;
import iaik.pkcs.pkcs11.wrapper.CK_SSL3_RANDOM_DATA;
import iaik.pkcs.pkcs11.wrapper.PKCS11Implementation;
import java.util.Arrays;

/**
 * The wrapper natives against a stand-in module (its path is the argument)
 * that answers as PKCS#11 describes: templates read back in three passes,
 * and key material whose IVs are as long as the parameters say.
 * Exits non-zero when a section fails.
 */
public final class ConversionTest {
    static final long CKA_CLASS = 0, CKA_LABEL = 3, CKA_ENCRYPT = 0x104, CKA_VALUE_LEN = 0x161,
            CKA_WRAP_TEMPLATE = 0x40000211L, CKA_DERIVE_TEMPLATE = 0x40000213L, CKA_ALLOWED_MECHANISMS = 0x40000600L;
    static final long CKM_AES_ECB = 0x1081, CKM_AES_CBC = 0x1082, CKM_SSL3_KEY_AND_MAC_DERIVE = 0x372,
            CKM_TLS_KEY_AND_MAC_DERIVE = 0x376;

    static void section(String name, Sections.Section body) {
        Sections.section(name, body);
    }

    static void check(boolean ok, String what) {
        Sections.check(ok, what);
    }

    static void same(Object actual, Object expected, String what) {
        if (!expected.equals(actual)) throw new AssertionError(what + ": got " + actual + ", expected " + expected);
    }

    /** A value as text: attributes as {type=value}, arrays element by element. */
    static String show(Object value) {
        if (value instanceof CK_ATTRIBUTE[]) {
            StringBuilder b = new StringBuilder("[");
            for (CK_ATTRIBUTE a : (CK_ATTRIBUTE[]) value) {
                if (b.length() > 1) b.append(", ");
                b.append("{0x").append(Long.toHexString(a.type)).append('=').append(show(a.pValue)).append('}');
            }
            return b.append(']').toString();
        }
        if (value instanceof char[]) return new String((char[]) value);
        if (value instanceof long[]) return Arrays.toString((long[]) value);
        if (value instanceof byte[]) return Arrays.toString((byte[]) value);
        return String.valueOf(value);
    }

    static CK_ATTRIBUTE attr(long type) {
        CK_ATTRIBUTE a = new CK_ATTRIBUTE();
        a.type = type;
        return a;
    }

    /** One key and MAC derivation: what Java hands in for the two IVs. */
    static final class IvCase {
        final String name;
        final long mechanism;
        final long ivBits;
        final byte[] client;
        final byte[] server;

        IvCase(String name, long mechanism, long ivBits, byte[] client, byte[] server) {
            this.name = name;
            this.mechanism = mechanism;
            this.ivBits = ivBits;
            this.client = client;
            this.server = server;
        }
    }

    static byte[] filled(int length, int value) {
        byte[] b = new byte[length];
        Arrays.fill(b, (byte) value);
        return b;
    }

    public static void main(String[] args) throws Exception {
        final PKCS11Implementation p = new PKCS11Implementation(args[0]);

        section("templates read back as CK_ATTRIBUTE[]", () -> {
            CK_ATTRIBUTE[] t = {attr(CKA_WRAP_TEMPLATE), attr(CKA_DERIVE_TEMPLATE), attr(CKA_ALLOWED_MECHANISMS),
                attr(CKA_LABEL)};
            p.C_GetAttributeValue(1, 1, t);
            same(show(t[0].pValue), "[{0x0=4}, {0x104=true}, {0x3=inner}]", "wrap template");
            same(show(t[1].pValue), "[{0x161=16}]", "a template attribute of another number");
            same(show(t[2].pValue), Arrays.toString(new long[] {CKM_AES_ECB, CKM_AES_CBC}), "allowed mechanisms");
            same(show(t[3].pValue), "fake", "plain value beside them");
        });

        IvCase[] ivCases = {
            new IvCase("SSL3, 128-bit IVs, Java arrays of 1 byte", CKM_SSL3_KEY_AND_MAC_DERIVE, 128, new byte[1],
                    new byte[1]),
            new IvCase("SSL3, 64-bit IVs, no Java arrays", CKM_SSL3_KEY_AND_MAC_DERIVE, 64, null, null),
            new IvCase("TLS, 64-bit IVs, Java arrays longer than an IV", CKM_TLS_KEY_AND_MAC_DERIVE, 64, new byte[64],
                    new byte[64]),
            new IvCase("SSL3, no IVs: the Java arrays stay", CKM_SSL3_KEY_AND_MAC_DERIVE, 0, new byte[3], null),
        };
        for (IvCase c : ivCases) {
            section("key and MAC derivation: " + c.name, () -> {
                CK_SSL3_KEY_MAT_OUT out = new CK_SSL3_KEY_MAT_OUT();
                out.pIVClient = c.client;
                out.pIVServer = c.server;
                CK_SSL3_KEY_MAT_PARAMS params = new CK_SSL3_KEY_MAT_PARAMS();
                params.ulMacSizeInBits = 160;
                params.ulKeySizeInBits = 128;
                params.ulIVSizeInBits = c.ivBits;
                params.RandomInfo = new CK_SSL3_RANDOM_DATA();
                params.RandomInfo.pClientRandom = new byte[32];
                params.RandomInfo.pServerRandom = new byte[32];
                params.pReturnedKeyMaterial = out;
                CK_MECHANISM m = new CK_MECHANISM();
                m.mechanism = c.mechanism;
                m.pParameter = params;
                p.C_DeriveKey(1, m, 2, new CK_ATTRIBUTE[0]);
                check(out.hClientMacSecret == 11 && out.hServerMacSecret == 12 && out.hClientKey == 13
                        && out.hServerKey == 14, "handles returned");
                int ivBytes = (int) (c.ivBits / 8);
                if (ivBytes == 0) {
                    check(out.pIVClient == c.client && out.pIVServer == c.server, "IV arrays untouched");
                } else {
                    same(show(out.pIVClient), show(filled(ivBytes, 0xC1)), "client IV");
                    same(show(out.pIVServer), show(filled(ivBytes, 0x5E)), "server IV");
                }
            });
        }

        p.disconnect();
        Sections.finish();
    }
}
