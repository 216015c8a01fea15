package kv;

import iaik.pkcs.pkcs11.wrapper.CK_ATTRIBUTE;
import iaik.pkcs.pkcs11.wrapper.CK_C_INITIALIZE_ARGS;
import iaik.pkcs.pkcs11.wrapper.CK_DATE;
import iaik.pkcs.pkcs11.wrapper.CK_INFO;
import iaik.pkcs.pkcs11.wrapper.CK_MECHANISM;
import iaik.pkcs.pkcs11.wrapper.CK_MECHANISM_INFO;
import iaik.pkcs.pkcs11.wrapper.CK_RSA_PKCS_OAEP_PARAMS;
import iaik.pkcs.pkcs11.wrapper.CK_SESSION_INFO;
import iaik.pkcs.pkcs11.wrapper.CK_SLOT_INFO;
import iaik.pkcs.pkcs11.wrapper.CK_TOKEN_INFO;
import iaik.pkcs.pkcs11.wrapper.PKCS11Exception;
import iaik.pkcs.pkcs11.wrapper.PKCS11Implementation;
import iaik.pkcs.pkcs11.wrapper.PKCS11RuntimeException;
import java.io.IOException;
import java.math.BigInteger;
import java.security.KeyPair;
import java.security.KeyPairGenerator;
import java.security.MessageDigest;
import java.security.PublicKey;
import java.security.Signature;
import java.util.Arrays;
import javax.crypto.Cipher;
import javax.crypto.KeyAgreement;
import javax.crypto.interfaces.DHPublicKey;

/**
 * The wrapper natives in a real JVM against the virtual token, through the
 * stand-in wrapper classes. Arguments: the module, a module whose
 * C_GetFunctionList fails, one whose C_GetFunctionList gives no list.
 * Expected serial number in the environment variable KVTOKEN_SERIAL.
 * Exits non-zero on the first failed check of each section.
 */
public final class WrapperTest {
    // PKCS#11 numbers used here.
    static final long CKR_GENERAL_ERROR = 0x5, CKR_ATTRIBUTE_TYPE_INVALID = 0x12, CKR_ATTRIBUTE_VALUE_INVALID = 0x13,
            CKR_PIN_INCORRECT = 0xA0, CKR_PIN_INVALID = 0xA1, CKR_CRYPTOKI_NOT_INITIALIZED = 0x190,
            CKR_CRYPTOKI_ALREADY_INITIALIZED = 0x191,
            CKR_FUNCTION_NOT_SUPPORTED = 0x54, CKR_RANDOM_SEED_NOT_SUPPORTED = 0x120;
    static final long CKF_OS_LOCKING_OK = 2, CKF_RW_SESSION = 2, CKF_SERIAL_SESSION = 4, CKF_TOKEN_PRESENT = 1;
    static final long CKU_USER = 1, CKS_RW_PUBLIC_SESSION = 2, CKS_RW_USER_FUNCTIONS = 3;
    static final long CKO_DATA = 0, CKO_SECRET_KEY = 4;
    static final long CKK_RSA = 0, CKK_DH = 2, CKK_AES = 0x1F;
    static final long CKA_CLASS = 0, CKA_TOKEN = 1, CKA_PRIVATE = 2, CKA_LABEL = 3, CKA_APPLICATION = 0x10,
            CKA_VALUE = 0x11, CKA_KEY_TYPE = 0x100, CKA_SENSITIVE = 0x103, CKA_ENCRYPT = 0x104, CKA_DECRYPT = 0x105,
            CKA_WRAP = 0x106, CKA_UNWRAP = 0x107, CKA_UNWRAP_TEMPLATE = 0x40000212L, CKA_SIGN = 0x108,
            CKA_VERIFY = 0x10A, CKA_VERIFY_RECOVER = 0x10B, CKA_DERIVE = 0x10C,
            CKA_START_DATE = 0x110, CKA_MODULUS = 0x120, CKA_MODULUS_BITS = 0x121, CKA_PUBLIC_EXPONENT = 0x122,
            CKA_PRIME = 0x130, CKA_BASE = 0x132, CKA_VALUE_LEN = 0x161, CKA_EXTRACTABLE = 0x162,
            CKA_EC_PARAMS = 0x180, CKA_EC_POINT = 0x181;
    static final long CKM_RSA_PKCS_KEY_PAIR_GEN = 0, CKM_RSA_PKCS = 1, CKM_RSA_PKCS_OAEP = 9,
            CKM_SHA256_RSA_PKCS = 0x40, CKM_DH_PKCS_KEY_PAIR_GEN = 0x20, CKM_DH_PKCS_DERIVE = 0x21,
            CKM_SHA256 = 0x250, CKM_KEY_WRAP_SET_OAEP = 0x401, CKM_EC_KEY_PAIR_GEN = 0x1040, CKM_ECDSA = 0x1041,
            CKM_AES_KEY_GEN = 0x1080, CKM_AES_ECB = 0x1081, CKM_AES_CBC_PAD = 0x1085;
    static final byte[] P256_OID = {0x06, 0x08, 0x2A, (byte) 0x86, 0x48, (byte) 0xCE, 0x3D, 0x03, 0x01, 0x07};

    interface Call {
        void run() throws Exception;
    }

    static void check(boolean ok, String what) {
        Sections.check(ok, what);
    }

    static void section(String name, Sections.Section body) {
        Sections.section(name, body);
    }

    /** The PKCS#11 status the call throws, or -1 when it throws nothing. */
    static long status(Call call) throws Exception {
        try {
            call.run();
            return -1;
        } catch (PKCS11Exception e) {
            return e.getErrorCode();
        }
    }

    /** The exception of the given class the call throws, or null. */
    static <T extends Throwable> T thrown(Class<T> kind, Call call) throws Exception {
        try {
            call.run();
        } catch (Throwable t) {
            if (kind.isInstance(t)) return kind.cast(t);
            throw new Sections.CheckFailed("expected " + kind.getSimpleName() + ", got " + t);
        }
        return null;
    }

    static CK_ATTRIBUTE attr(long type, Object value) {
        CK_ATTRIBUTE a = new CK_ATTRIBUTE();
        a.type = type;
        a.pValue = value;
        return a;
    }

    static CK_MECHANISM mech(long type, Object parameter) {
        CK_MECHANISM m = new CK_MECHANISM();
        m.mechanism = type;
        m.pParameter = parameter;
        return m;
    }

    static Object read(PKCS11Implementation p, long session, long object, long type) throws PKCS11Exception {
        CK_ATTRIBUTE[] t = {attr(type, null)};
        p.C_GetAttributeValue(session, object, t);
        return t[0].pValue;
    }

    static long[] find(PKCS11Implementation p, long session, CK_ATTRIBUTE[] template) throws PKCS11Exception {
        p.C_FindObjectsInit(session, template);
        long[] found = p.C_FindObjects(session, 100);
        p.C_FindObjectsFinal(session);
        return found;
    }

    static String text(char[] chars) {
        return new String(chars);
    }

    /** Exposes connect for a second connection of the same object. */
    static final class Probe extends PKCS11Implementation {
        Probe(String module) throws IOException {
            super(module);
        }

        void reconnect(String module) throws IOException {
            connect(module);
        }
    }

    public static void main(String[] args) throws Exception {
        final String module = args[0];
        final String failingModule = args[1];
        final String listlessModule = args[2];
        final Probe p = new Probe(module);

        section("connect failures register nothing", () -> {
            Probe q = new Probe(module);
            q.disconnect();
            PKCS11RuntimeException e = thrown(PKCS11RuntimeException.class, q::C_GetInfo);
            check(e != null && "This object is not connected to a module.".equals(e.getMessage()),
                    "disconnected message");
            check(thrown(IOException.class, () -> q.reconnect("/nonexistent/libnothing.so")) != null, "missing file");
            check(thrown(IOException.class, () -> q.reconnect("libm.so.6")) != null, "no C_GetFunctionList");
            check(thrown(IOException.class, () -> q.reconnect(listlessModule)) != null, "null function list");
            PKCS11Exception f = thrown(PKCS11Exception.class, () -> q.reconnect(failingModule));
            check(f != null && f.getErrorCode() == CKR_GENERAL_ERROR, "C_GetFunctionList status");
            check(thrown(PKCS11RuntimeException.class, q::C_GetInfo) != null, "still disconnected");
            q.reconnect(module);
            check(status(q::C_GetInfo) == CKR_CRYPTOKI_NOT_INITIALIZED, "reconnected: the module answers");
            q.disconnect();
        });

        section("registry without initialisation", () -> {
            PKCS11Implementation.finalizeLibrary();
            PKCS11RuntimeException e = thrown(PKCS11RuntimeException.class, p::C_GetInfo);
            check(e != null && e.getMessage().contains("not initialised"), "call without registry");
            check(thrown(PKCS11RuntimeException.class, () -> new PKCS11Implementation(module)) != null,
                    "connect without registry");
            PKCS11Implementation.finalizeLibrary();
            PKCS11Implementation.initializeLibrary();
            PKCS11Implementation.initializeLibrary();
            check(thrown(PKCS11RuntimeException.class, p::C_GetInfo) != null, "entries dropped");
            p.reconnect(module);
        });

        section("initialise with and without locking arguments", () -> {
            p.C_Initialize(null);
            check(status(() -> p.C_Initialize(null)) == CKR_CRYPTOKI_ALREADY_INITIALIZED, "second initialise");
            p.C_Finalize(null);
            p.C_Finalize(null);
            CK_C_INITIALIZE_ARGS locking = new CK_C_INITIALIZE_ARGS();
            locking.flags = CKF_OS_LOCKING_OK;
            p.C_Initialize(locking);
        });

        section("library, slot and token information", () -> {
            CK_INFO info = p.C_GetInfo();
            check(info.cryptokiVersion.major == 2 && info.cryptokiVersion.minor == 20, "cryptoki version");
            check(info.libraryVersion.major == 1 && info.libraryVersion.minor == 20, "library version");
            check(text(info.manufacturerID).equals("Halvorn Technologies Co., Ltd.  "), "manufacturer");
            check(text(info.libraryDescription).equals("Korvanite PKCS#11 Library.      "), "description");
            check(Arrays.equals(p.C_GetSlotList(false), new long[] {1}), "slot list");
            check(Arrays.equals(p.C_GetSlotList(true), new long[] {1}), "slot list with token");
            CK_SLOT_INFO slot = p.C_GetSlotInfo(1);
            check((slot.flags & CKF_TOKEN_PRESENT) != 0 && slot.slotDescription.length == 64, "slot info");
            CK_TOKEN_INFO token = p.C_GetTokenInfo(1);
            check(text(token.serialNumber).equals(System.getenv("KVTOKEN_SERIAL")), "serial number");
            check(text(token.label).trim().equals("Virtual Token") && token.label.length == 32, "label");
            check(token.utcTime.length == 16 && token.model.length == 16, "field widths");
            long[] mechanisms = p.C_GetMechanismList(1);
            check(Arrays.stream(mechanisms).anyMatch(m -> m == CKM_RSA_PKCS_KEY_PAIR_GEN)
                    && Arrays.stream(mechanisms).anyMatch(m -> m == CKM_EC_KEY_PAIR_GEN), "mechanism list");
            CK_MECHANISM_INFO rsa = p.C_GetMechanismInfo(1, CKM_RSA_PKCS_KEY_PAIR_GEN);
            check(rsa.ulMinKeySize == 512 && rsa.ulMaxKeySize == 2048, "RSA key sizes");
        });

        final long session = p.C_OpenSession(1, CKF_SERIAL_SESSION | CKF_RW_SESSION, null, null);

        section("session and login", () -> {
            CK_SESSION_INFO info = p.C_GetSessionInfo(session);
            check(info.slotID == 1 && info.state == CKS_RW_PUBLIC_SESSION, "public session");
            check(status(() -> p.C_Login(session, CKU_USER, "00000000".toCharArray())) == CKR_PIN_INCORRECT,
                    "wrong PIN");
            check(status(() -> p.C_Login(session, CKU_USER, "1234567\u0138".toCharArray())) == CKR_PIN_INVALID,
                    "PIN character above U+00FF refused");
            p.C_Login(session, CKU_USER, "12345678".toCharArray());
            check(p.C_GetSessionInfo(session).state == CKS_RW_USER_FUNCTIONS, "user session");
        });

        section("objects: create, find, read, destroy", () -> {
            byte[] value = {1, 2, 3, (byte) 0xFE};
            CK_DATE date = new CK_DATE();
            date.year = "2031".toCharArray();
            date.month = "07".toCharArray();
            date.day = "15".toCharArray();
            CK_ATTRIBUTE[] template = {attr(CKA_CLASS, CKO_DATA), attr(CKA_TOKEN, Boolean.TRUE),
                attr(CKA_LABEL, "caf\u00e9 \u263a".toCharArray()), attr(CKA_APPLICATION, "wrapper test"),
                attr(CKA_VALUE, value)};
            long object = p.C_CreateObject(session, template);
            long[] found = find(p, session, new CK_ATTRIBUTE[] {attr(CKA_CLASS, CKO_DATA),
                attr(CKA_LABEL, "caf\u00e9 :".toCharArray())});
            check(Arrays.equals(found, new long[] {object}), "found by narrowed label");
            CK_ATTRIBUTE[] back = {attr(CKA_LABEL, null), attr(CKA_VALUE, null), attr(CKA_CLASS, null),
                attr(CKA_TOKEN, null), attr(CKA_APPLICATION, null)};
            p.C_GetAttributeValue(session, object, back);
            check(Arrays.equals((char[]) back[0].pValue, "caf\u00e9 :".toCharArray()), "label bytes as chars");
            check(Arrays.equals((byte[]) back[1].pValue, value), "value");
            check(Long.valueOf(CKO_DATA).equals(back[2].pValue), "class as Long");
            check(Boolean.TRUE.equals(back[3].pValue), "token as Boolean");
            check(Arrays.equals((char[]) back[4].pValue, "wrapper test".toCharArray()), "String as UTF-8");
            check(status(() -> read(p, session, object, CKA_MODULUS)) == CKR_ATTRIBUTE_TYPE_INVALID,
                    "attribute the object lacks");
            p.C_DestroyObject(session, object);
            check(find(p, session, new CK_ATTRIBUTE[] {attr(CKA_LABEL, "caf\u00e9 :".toCharArray())}).length == 0,
                    "destroyed");
            long dated = p.C_CreateObject(session, new CK_ATTRIBUTE[] {attr(CKA_CLASS, CKO_DATA),
                attr(CKA_TOKEN, false), attr(CKA_START_DATE, date)});
            Object start = read(p, session, dated, CKA_START_DATE);
            check(start instanceof CK_DATE && text(((CK_DATE) start).year).equals("2031")
                    && text(((CK_DATE) start).day).equals("15"), "date");
            p.C_DestroyObject(session, dated);
        });

        section("values without a native form", () -> {
            PKCS11RuntimeException e = thrown(PKCS11RuntimeException.class,
                    () -> p.C_CreateObject(session, new CK_ATTRIBUTE[] {attr(CKA_LABEL, (short) 7)}));
            check(e != null && e.getMessage().endsWith("java.lang.Short"), "Short value refused");
            check(status(() -> p.C_CreateObject(session, new CK_ATTRIBUTE[] {attr(0x40000211L, new byte[3])}))
                    == CKR_ATTRIBUTE_VALUE_INVALID, "template value not an array");
            check(status(() -> p.C_CreateObject(session, new CK_ATTRIBUTE[] {attr(CKA_CLASS, CKO_DATA),
                attr(0x40000001L, new byte[24])})) == CKR_ATTRIBUTE_VALUE_INVALID, "bytes under an array type");
            check(thrown(PKCS11RuntimeException.class,
                    () -> p.C_CreateObject(session, new CK_ATTRIBUTE[] {null})) != null, "null attribute");
            check(thrown(PKCS11RuntimeException.class,
                    () -> p.C_DigestInit(session, mech(CKM_SHA256, new Object()))) != null, "parameter class");
        });

        section("a long template", () -> {
            CK_ATTRIBUTE[] template = new CK_ATTRIBUTE[5000];
            for (int i = 0; i < template.length; i++) template[i] = attr(CKA_VALUE, new byte[] {(byte) i});
            long rv = status(() -> find(p, session, template));
            check(rv == -1 || rv > 0, "searched or refused with a status");
        });

        final long[] rsa = new long[2];
        section("RSA on the token: sign, encrypt, decrypt", () -> {
            CK_ATTRIBUTE[] publicTemplate = {attr(CKA_TOKEN, true), attr(CKA_MODULUS_BITS, 1024L),
                attr(CKA_PUBLIC_EXPONENT, new byte[] {1, 0, 1}), attr(CKA_VERIFY, true), attr(CKA_ENCRYPT, true),
                attr(CKA_WRAP, true), attr(CKA_VERIFY_RECOVER, true)};
            CK_ATTRIBUTE[] privateTemplate = {attr(CKA_TOKEN, true), attr(CKA_PRIVATE, true), attr(CKA_SIGN, true),
                attr(CKA_DECRYPT, true), attr(CKA_UNWRAP, true)};
            long[] pair = p.C_GenerateKeyPair(session, mech(CKM_RSA_PKCS_KEY_PAIR_GEN, null), publicTemplate,
                    privateTemplate);
            rsa[0] = pair[0];
            rsa[1] = pair[1];
            BigInteger n = new BigInteger(1, (byte[]) read(p, session, pair[0], CKA_MODULUS));
            BigInteger e = new BigInteger(1, (byte[]) read(p, session, pair[0], CKA_PUBLIC_EXPONENT));
            check(n.bitLength() == 1024 && e.intValue() == 65537, "public key");
            check(Long.valueOf(CKK_RSA).equals(read(p, session, pair[1], CKA_KEY_TYPE)), "key type");
            PublicKey publicKey = JdkKeys.rsa(n, e);

            byte[] message = "signed through the wrapper".getBytes("UTF-8");
            p.C_SignInit(session, mech(CKM_SHA256_RSA_PKCS, null), pair[1]);
            byte[] signature = p.C_Sign(session, message);
            Signature verifier = Signature.getInstance("SHA256withRSA");
            verifier.initVerify(publicKey);
            verifier.update(message);
            check(verifier.verify(signature), "signature verifies with java.security");
            p.C_VerifyInit(session, mech(CKM_SHA256_RSA_PKCS, null), pair[0]);
            p.C_Verify(session, message, signature);
            p.C_SignInit(session, mech(CKM_SHA256_RSA_PKCS, null), pair[1]);
            p.C_SignUpdate(session, Arrays.copyOfRange(message, 0, 5));
            p.C_SignUpdate(session, Arrays.copyOfRange(message, 5, message.length));
            check(Arrays.equals(p.C_SignFinal(session), signature), "multi-part signature");
            p.C_VerifyInit(session, mech(CKM_SHA256_RSA_PKCS, null), pair[0]);
            p.C_VerifyUpdate(session, message);
            p.C_VerifyFinal(session, signature);
            p.C_SignInit(session, mech(CKM_RSA_PKCS, null), pair[1]);
            byte[] withRecovery = p.C_Sign(session, message);
            p.C_VerifyRecoverInit(session, mech(CKM_RSA_PKCS, null), pair[0]);
            check(Arrays.equals(p.C_VerifyRecover(session, withRecovery), message), "recovered data");

            Cipher javaRsa = Cipher.getInstance("RSA/ECB/PKCS1Padding");
            javaRsa.init(Cipher.ENCRYPT_MODE, publicKey);
            byte[] secret = "sixteen byte key".getBytes("UTF-8");
            p.C_DecryptInit(session, mech(CKM_RSA_PKCS, null), pair[1]);
            check(Arrays.equals(p.C_Decrypt(session, javaRsa.doFinal(secret)), secret), "decrypts Java's ciphertext");
            p.C_EncryptInit(session, mech(CKM_RSA_PKCS, null), pair[0]);
            byte[] encrypted = p.C_Encrypt(session, secret);
            p.C_DecryptInit(session, mech(CKM_RSA_PKCS, null), pair[1]);
            check(Arrays.equals(p.C_Decrypt(session, encrypted), secret), "round trip");
        });

        section("a parameter of an unexpected class", () -> {
            // A byte[] where the OAEP structure belongs, and an OAEP structure
            // given with the SET OAEP unwrap: refused by the module, nothing
            // released or written back as the wrong structure.
            long a = status(() -> p.C_EncryptInit(session, mech(CKM_RSA_PKCS_OAEP, new byte[40]), rsa[0]));
            check(a != -1, "byte[] for OAEP refused with a status");
            CK_RSA_PKCS_OAEP_PARAMS oaep = new CK_RSA_PKCS_OAEP_PARAMS();
            oaep.pSourceData = new byte[] {9, 9};
            long b = status(() -> p.C_UnwrapKey(session, mech(CKM_KEY_WRAP_SET_OAEP, oaep), rsa[1], new byte[128],
                    new CK_ATTRIBUTE[] {attr(CKA_CLASS, CKO_SECRET_KEY)}));
            check(b != -1 && oaep.pSourceData[0] == 9 && oaep.pSourceData.length == 2, "no copy-back");
        });

        section("EC on the token: ECDSA", () -> {
            CK_ATTRIBUTE[] publicTemplate = {attr(CKA_TOKEN, true), attr(CKA_EC_PARAMS, P256_OID),
                attr(CKA_VERIFY, true)};
            CK_ATTRIBUTE[] privateTemplate = {attr(CKA_TOKEN, true), attr(CKA_PRIVATE, true), attr(CKA_SIGN, true)};
            long[] pair = p.C_GenerateKeyPair(session, mech(CKM_EC_KEY_PAIR_GEN, null), publicTemplate,
                    privateTemplate);
            byte[] point = (byte[]) read(p, session, pair[0], CKA_EC_POINT);
            check(point.length == 65 && point[0] == 0x04, "EC point: 04 x y");
            PublicKey publicKey = JdkKeys.ec("secp256r1", new BigInteger(1, Arrays.copyOfRange(point, 1, 33)),
                    new BigInteger(1, Arrays.copyOfRange(point, 33, 65)));

            byte[] hash = MessageDigest.getInstance("SHA-256").digest("ecdsa through the wrapper".getBytes("UTF-8"));
            p.C_SignInit(session, mech(CKM_ECDSA, null), pair[1]);
            byte[] rs = p.C_Sign(session, hash);
            check(rs.length == 64, "raw r||s");
            Signature verifier = Signature.getInstance("NONEwithECDSAinP1363Format");
            verifier.initVerify(publicKey);
            verifier.update(hash);
            check(verifier.verify(rs), "ECDSA verifies with java.security");
            p.C_DestroyObject(session, pair[0]);
            p.C_DestroyObject(session, pair[1]);
        });

        section("digest and random", () -> {
            byte[] data = "abc".getBytes("UTF-8");
            byte[] expected = MessageDigest.getInstance("SHA-256").digest(data);
            p.C_DigestInit(session, mech(CKM_SHA256, null));
            check(Arrays.equals(p.C_Digest(session, data), expected), "one-part digest");
            p.C_DigestInit(session, mech(CKM_SHA256, null));
            p.C_DigestUpdate(session, new byte[] {'a'});
            p.C_DigestUpdate(session, new byte[] {'b', 'c'});
            check(Arrays.equals(p.C_DigestFinal(session), expected), "multi-part digest");
            byte[] a = new byte[32];
            byte[] b = new byte[32];
            p.C_GenerateRandom(session, a);
            p.C_GenerateRandom(session, b);
            check(!Arrays.equals(a, new byte[32]) && !Arrays.equals(a, b), "random bytes");
        });

        section("AES key: generate, wrap, unwrap, encrypt", () -> {
            long aes = p.C_GenerateKey(session, mech(CKM_AES_KEY_GEN, null), new CK_ATTRIBUTE[] {
                attr(CKA_CLASS, CKO_SECRET_KEY), attr(CKA_KEY_TYPE, CKK_AES), attr(CKA_TOKEN, false),
                attr(CKA_VALUE_LEN, 16L), attr(CKA_ENCRYPT, true), attr(CKA_DECRYPT, true),
                attr(CKA_SENSITIVE, false), attr(CKA_EXTRACTABLE, true)});
            byte[] value = (byte[]) read(p, session, aes, CKA_VALUE);
            check(value.length == 16, "key length");
            byte[] block = "one block of txt".getBytes("UTF-8");
            Cipher javaAes = Cipher.getInstance("AES/ECB/NoPadding");
            javaAes.init(Cipher.ENCRYPT_MODE, JdkKeys.secret(value, "AES"));
            p.C_EncryptInit(session, mech(CKM_AES_ECB, null), aes);
            check(Arrays.equals(p.C_Encrypt(session, block), javaAes.doFinal(block)), "AES-ECB as javax.crypto");

            byte[] wrapped = p.C_WrapKey(session, mech(CKM_RSA_PKCS, null), rsa[0], aes);
            check(wrapped.length == 128, "wrapped under RSA-1024");
            long unwrapped = p.C_UnwrapKey(session, mech(CKM_RSA_PKCS, null), rsa[1], wrapped, new CK_ATTRIBUTE[] {
                attr(CKA_CLASS, CKO_SECRET_KEY), attr(CKA_KEY_TYPE, CKK_AES), attr(CKA_TOKEN, false),
                attr(CKA_ENCRYPT, true), attr(CKA_DECRYPT, true), attr(CKA_SENSITIVE, false)});
            check(Arrays.equals((byte[]) read(p, session, unwrapped, CKA_VALUE), value), "unwrapped value");

            byte[] iv = new byte[16];
            byte[] message = "longer than one AES block, padded".getBytes("UTF-8");
            p.C_EncryptInit(session, mech(CKM_AES_CBC_PAD, iv), unwrapped);
            byte[] head = p.C_EncryptUpdate(session, Arrays.copyOfRange(message, 0, 20));
            byte[] tail = p.C_EncryptFinal(session);
            byte[] encrypted = concat(head, tail);
            Cipher javaCbc = Cipher.getInstance("AES/CBC/PKCS5Padding");
            JdkKeys.init(javaCbc, Cipher.ENCRYPT_MODE, JdkKeys.secret(value, "AES"), iv);
            check(Arrays.equals(encrypted, javaCbc.doFinal(Arrays.copyOfRange(message, 0, 20))), "AES-CBC-PAD");
            p.C_DecryptInit(session, mech(CKM_AES_CBC_PAD, iv), aes);
            check(Arrays.equals(p.C_Decrypt(session, encrypted), Arrays.copyOfRange(message, 0, 20)), "decrypted");
            p.C_DestroyObject(session, unwrapped);
            p.C_DestroyObject(session, aes);
        });

        section("Diffie-Hellman derivation", () -> {
            KeyPairGenerator generator = KeyPairGenerator.getInstance("DH");
            generator.initialize(1024);
            KeyPair java = generator.generateKeyPair();
            var group = ((DHPublicKey) java.getPublic()).getParams();
            CK_ATTRIBUTE[] publicTemplate = {attr(CKA_TOKEN, false), attr(CKA_PRIME, unsigned(group.getP())),
                attr(CKA_BASE, unsigned(group.getG()))};
            CK_ATTRIBUTE[] privateTemplate = {attr(CKA_TOKEN, false), attr(CKA_DERIVE, true)};
            long[] pair = p.C_GenerateKeyPair(session, mech(CKM_DH_PKCS_KEY_PAIR_GEN, null), publicTemplate,
                    privateTemplate);
            byte[] tokenPublic = (byte[]) read(p, session, pair[0], CKA_VALUE);
            byte[] javaPublic = unsigned(((DHPublicKey) java.getPublic()).getY());
            long derived = p.C_DeriveKey(session, mech(CKM_DH_PKCS_DERIVE, javaPublic), pair[1], new CK_ATTRIBUTE[] {
                attr(CKA_CLASS, CKO_SECRET_KEY), attr(CKA_KEY_TYPE, CKK_AES), attr(CKA_TOKEN, false),
                attr(CKA_VALUE_LEN, 32L), attr(CKA_SENSITIVE, false), attr(CKA_EXTRACTABLE, true)});
            byte[] tokenSecret = (byte[]) read(p, session, derived, CKA_VALUE);
            KeyAgreement agreement = KeyAgreement.getInstance("DH");
            agreement.init(java.getPrivate());
            agreement.doPhase(JdkKeys.dh(new BigInteger(1, tokenPublic), group.getP(), group.getG()), true);
            byte[] z = agreement.generateSecret();
            check(Arrays.equals(tokenSecret, Arrays.copyOfRange(z, z.length - 32, z.length)),
                    "the key is the end of javax.crypto's shared secret");
            check(Long.valueOf(CKK_DH).equals(read(p, session, pair[1], CKA_KEY_TYPE)), "DH key type");
        });

        section("a template attribute through the module and back", () -> {
            CK_ATTRIBUTE[] inner = {attr(CKA_CLASS, CKO_SECRET_KEY), attr(CKA_EXTRACTABLE, true)};
            long key = p.C_CreateObject(session, new CK_ATTRIBUTE[] {attr(CKA_CLASS, CKO_SECRET_KEY),
                attr(CKA_KEY_TYPE, CKK_AES), attr(CKA_TOKEN, false), attr(CKA_VALUE, new byte[16]),
                attr(CKA_UNWRAP, true), attr(CKA_UNWRAP_TEMPLATE, inner)});
            Object back = read(p, session, key, CKA_UNWRAP_TEMPLATE);
            check(back instanceof CK_ATTRIBUTE[], "a CK_ATTRIBUTE[]");
            CK_ATTRIBUTE[] entries = (CK_ATTRIBUTE[]) back;
            check(entries.length == 2 && entries[0].type == CKA_CLASS && Long.valueOf(CKO_SECRET_KEY).equals(
                    entries[0].pValue) && entries[1].type == CKA_EXTRACTABLE && Boolean.TRUE.equals(entries[1].pValue),
                    "its entries");
            p.C_DestroyObject(session, key);
        });

        section("attributes, PIN change and the calls the module refuses", () -> {
            long object = p.C_CreateObject(session, new CK_ATTRIBUTE[] {attr(CKA_CLASS, CKO_DATA),
                attr(CKA_TOKEN, false), attr(CKA_LABEL, "before".toCharArray())});
            p.C_SetAttributeValue(session, object, new CK_ATTRIBUTE[] {attr(CKA_LABEL, "after".toCharArray())});
            check(Arrays.equals((char[]) read(p, session, object, CKA_LABEL), "after".toCharArray()), "label set");
            check(status(() -> p.C_GetObjectSize(session, object)) == CKR_FUNCTION_NOT_SUPPORTED, "object size");
            check(status(() -> p.C_SeedRandom(session, new byte[8])) == CKR_RANDOM_SEED_NOT_SUPPORTED, "seed");
            check(status(() -> p.C_WaitForSlotEvent(0, null)) == CKR_FUNCTION_NOT_SUPPORTED, "slot event");
            p.C_DestroyObject(session, object);
            p.C_SetPIN(session, "12345678".toCharArray(), "87654321".toCharArray());
            p.C_SetPIN(session, "87654321".toCharArray(), "12345678".toCharArray());
            check(status(() -> p.C_SetPIN(session, "00000000".toCharArray(), "11111111".toCharArray()))
                    == CKR_PIN_INCORRECT, "old PIN checked");
            if (p.C_GetSessionInfo(session).state != CKS_RW_USER_FUNCTIONS) {
                p.C_Login(session, CKU_USER, "12345678".toCharArray());
            }
        });

        section("log out, close and disconnect", () -> {
            p.C_DestroyObject(session, rsa[0]);
            p.C_DestroyObject(session, rsa[1]);
            p.C_Logout(session);
            p.C_CloseSession(session);
            p.C_Finalize(null);
            p.disconnect();
            check(thrown(PKCS11RuntimeException.class, p::C_GetInfo) != null, "disconnected");
        });

        Sections.finish();
    }

    static byte[] concat(byte[] a, byte[] b) {
        byte[] c = Arrays.copyOf(a, a.length + b.length);
        System.arraycopy(b, 0, c, a.length, b.length);
        return c;
    }

    static byte[] unsigned(BigInteger v) {
        byte[] b = v.toByteArray();
        return b[0] == 0 && b.length > 1 ? Arrays.copyOfRange(b, 1, b.length) : b;
    }
}
