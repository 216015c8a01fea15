package kv;

import java.lang.reflect.Constructor;
import java.math.BigInteger;
import java.security.AlgorithmParameters;
import java.security.Key;
import java.security.KeyFactory;
import java.security.PublicKey;
import java.security.interfaces.ECKey;
import javax.crypto.Cipher;
import javax.crypto.SecretKey;
import javax.crypto.interfaces.DHKey;

// Keys and parameters made from what a token returns, by the JDK's own
// classes, so that the JDK checks what the module did. The JDK's key and
// parameter description classes are reached at run time, in the packages
// of the parameter classes its key interfaces return.
final class JdkKeys {
    private static final String SECURITY = descriptionsOf(ECKey.class);  // RSA and EC descriptions
    private static final String CRYPTO = descriptionsOf(DHKey.class);    // secret keys, IVs, DH

    private JdkKeys() {}

    private static String descriptionsOf(Class<?> keyInterface) {
        try {
            return keyInterface.getMethod("getParams").getReturnType().getPackageName();
        } catch (NoSuchMethodException e) {
            throw new IllegalStateException(e);
        }
    }

    private static Class<?> description(String pkg, String name) throws ClassNotFoundException {
        return Class.forName(pkg + "." + name);
    }

    private static Object make(String pkg, String name, Object... args) throws Exception {
        for (Constructor<?> c : description(pkg, name).getConstructors()) {
            if (c.getParameterCount() == args.length) {
                try {
                    return c.newInstance(args);
                } catch (IllegalArgumentException wrongTypes) {
                    // another constructor of the same arity
                }
            }
        }
        throw new IllegalArgumentException(name);
    }

    private static PublicKey generate(String algorithm, Object keyDescription) throws Exception {
        KeyFactory factory = KeyFactory.getInstance(algorithm);
        return (PublicKey) KeyFactory.class.getMethod("generatePublic", description(SECURITY, "KeySpec"))
                .invoke(factory, keyDescription);
    }

    // RSA public key of modulus n and public exponent e.
    static PublicKey rsa(BigInteger n, BigInteger e) throws Exception {
        return generate("RSA", make(SECURITY, "RSAPublicKeySpec", n, e));
    }

    // EC public key on the named curve at the affine point (x, y).
    static PublicKey ec(String curve, BigInteger x, BigInteger y) throws Exception {
        AlgorithmParameters params = AlgorithmParameters.getInstance("EC");
        AlgorithmParameters.class.getMethod("init", description(SECURITY, "AlgorithmParameterSpec"))
                .invoke(params, make(SECURITY, "ECGenParameterSpec", curve));
        Object domain = AlgorithmParameters.class.getMethod("getParameterSpec", Class.class)
                .invoke(params, description(SECURITY, "ECParameterSpec"));
        return generate("EC", make(SECURITY, "ECPublicKeySpec", make(SECURITY, "ECPoint", x, y), domain));
    }

    // DH public value y in the group of prime p and base g.
    static PublicKey dh(BigInteger y, BigInteger p, BigInteger g) throws Exception {
        return generate("DH", make(CRYPTO, "DHPublicKeySpec", y, p, g));
    }

    // A secret key of the algorithm with the given value.
    static SecretKey secret(byte[] value, String algorithm) throws Exception {
        return (SecretKey) make(CRYPTO, "SecretKeySpec", value, algorithm);
    }

    // Initialises the cipher with the key and the initial vector iv.
    static void init(Cipher cipher, int mode, Key key, byte[] iv) throws Exception {
        Cipher.class.getMethod("init", int.class, Key.class, description(SECURITY, "AlgorithmParameterSpec"))
                .invoke(cipher, mode, key, make(CRYPTO, "IvParameterSpec", (Object) iv));
    }
}
