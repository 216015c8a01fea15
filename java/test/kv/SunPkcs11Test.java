package kv;

import java.nio.charset.StandardCharsets;
import java.security.KeyPair;
import java.security.KeyPairGenerator;
import java.security.KeyStore;
import java.security.PrivateKey;
import java.security.Provider;
import java.security.Security;
import java.security.Signature;
import java.security.cert.Certificate;
import java.util.ArrayList;
import java.util.Collections;
import java.util.List;

/**
 * The JDK's own PKCS#11 provider configured on the module: it lists the
 * token's keys with their certificates as a PKCS11 key store, signs with the
 * token's RSA and EC keys and with an RSA key of the JDK's own (which the
 * provider brings in as a session key), and the JDK's software providers
 * verify the signatures. Arguments: the module's path, the user PIN and the labels of
 * the RSA and the EC key. Exits non-zero on the first failed check.
 */
public final class SunPkcs11Test {
    private static int failures;
    private static int passes;

    private static void check(boolean ok, String what) {
        if (ok) {
            passes++;
        } else {
            failures++;
            System.out.println("FAILED: " + what);
        }
    }

    // Signs with the token key through the provider; the JDK verifies.
    private static void signAndVerify(Provider token, KeyStore store, String alias, String algorithm)
            throws Exception {
        PrivateKey key = (PrivateKey) store.getKey(alias, null);
        Certificate cert = store.getCertificate(alias);
        check(key != null && cert != null, alias + ": key and certificate found");
        if (key == null || cert == null) return;
        byte[] data = ("signed by the token with " + algorithm).getBytes(StandardCharsets.UTF_8);

        Signature signer = Signature.getInstance(algorithm, token);
        signer.initSign(key);
        signer.update(data);
        byte[] signature = signer.sign();

        Signature verifier = Signature.getInstance(algorithm);
        check(verifier.getProvider() != token, algorithm + ": verified by a JDK provider");
        verifier.initVerify(cert.getPublicKey());
        verifier.update(data);
        check(verifier.verify(signature), algorithm + ": the JDK verifies the token's signature");

        // The module verifies too: the provider brings the public key in as a
        // session object, and takes only CKR_SIGNATURE_INVALID for "false".
        check(tokenVerifies(token, algorithm, cert, data, signature), algorithm + ": the module verifies it");
        data[0] ^= 1;
        verifier.initVerify(cert.getPublicKey());
        verifier.update(data);
        check(!verifier.verify(signature), algorithm + ": a changed message fails");
        check(!tokenVerifies(token, algorithm, cert, data, signature), algorithm + ": the module fails it too");
    }

    // Signs with a key the JDK generated: the provider turns the software key
    // into a session object of the module, which signs; the JDK verifies.
    private static void signWithSoftwareKey(Provider token, String algorithm) throws Exception {
        KeyPairGenerator generator = KeyPairGenerator.getInstance("RSA");
        check(generator.getProvider() != token, "the software key comes from a JDK provider");
        generator.initialize(2048);
        KeyPair pair = generator.generateKeyPair();
        byte[] data = ("signed by the module with a software key, " + algorithm).getBytes(StandardCharsets.UTF_8);

        Signature signer = Signature.getInstance(algorithm, token);
        signer.initSign(pair.getPrivate());
        signer.update(data);
        byte[] signature = signer.sign();

        Signature verifier = Signature.getInstance(algorithm);
        check(verifier.getProvider() != token, algorithm + ": verified by a JDK provider");
        verifier.initVerify(pair.getPublic());
        verifier.update(data);
        check(verifier.verify(signature), algorithm + ": the JDK verifies the software key's signature");
        data[0] ^= 1;
        verifier.initVerify(pair.getPublic());
        verifier.update(data);
        check(!verifier.verify(signature), algorithm + ": a changed message fails");
    }

    // A verification through the provider; an exception counts as a failed check.
    private static boolean tokenVerifies(Provider token, String algorithm, Certificate cert, byte[] data,
                                         byte[] signature) {
        try {
            Signature verifier = Signature.getInstance(algorithm, token);
            verifier.initVerify(cert.getPublicKey());
            verifier.update(data);
            return verifier.verify(signature);
        } catch (Exception e) {
            check(false, algorithm + ": the module's verification threw " + e);
            return false;
        }
    }

    public static void main(String[] args) throws Exception {
        if (args.length != 4) {
            System.out.println("usage: SunPkcs11Test MODULE PIN RSA_LABEL EC_LABEL");
            System.exit(2);
        }
        String config = "--name = kv\nlibrary = " + args[0] + "\nslotListIndex = 0\n";
        Provider token = Security.getProvider("SunPKCS11").configure(config);

        KeyStore store = KeyStore.getInstance("PKCS11", token);
        store.load(null, args[1].toCharArray());
        List<String> aliases = new ArrayList<>(Collections.list(store.aliases()));
        Collections.sort(aliases);
        List<String> expected = new ArrayList<>(List.of(args[2], args[3]));
        Collections.sort(expected);
        check(aliases.equals(expected), "the key store lists " + expected + ", not " + aliases);
        for (String alias : aliases) check(store.isKeyEntry(alias), alias + " is a key entry");

        signAndVerify(token, store, args[2], "SHA256withRSA");
        signAndVerify(token, store, args[3], "SHA256withECDSA");
        signWithSoftwareKey(token, "SHA256withRSA");

        System.out.println(passes + " passed, " + failures + " failed");
        System.exit(failures == 0 ? 0 : 1);
    }
}
