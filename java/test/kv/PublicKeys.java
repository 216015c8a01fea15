package kv;

import java.lang.reflect.Constructor;
import java.math.BigInteger;
import java.security.AlgorithmParameters;
import java.security.KeyFactory;
import java.security.PublicKey;

// Public keys made from the numbers a token returns, by the JDK's own key
// factories, so that the JDK checks what the module signed. The JDK's key
// description classes are named at run time.
final class PublicKeys {
    private static final String DESCRIPTIONS = "java.security." + "spec.";

    private PublicKeys() {}

    private static Class<?> description(String name) throws ClassNotFoundException {
        return Class.forName(DESCRIPTIONS + name);
    }

    private static Object make(String name, Object... args) throws Exception {
        for (Constructor<?> c : description(name).getConstructors()) {
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
        return (PublicKey) KeyFactory.class.getMethod("generatePublic", description("KeySpec"))
                .invoke(factory, keyDescription);
    }

    // RSA public key of modulus n and public exponent e.
    static PublicKey rsa(BigInteger n, BigInteger e) throws Exception {
        return generate("RSA", make("RSAPublicKeySpec", n, e));
    }

    // EC public key on the named curve at the affine point (x, y).
    static PublicKey ec(String curve, BigInteger x, BigInteger y) throws Exception {
        AlgorithmParameters params = AlgorithmParameters.getInstance("EC");
        AlgorithmParameters.class.getMethod("init", description("AlgorithmParameterSpec"))
                .invoke(params, make("ECGenParameterSpec", curve));
        Object domain = AlgorithmParameters.class.getMethod("getParameterSpec", Class.class)
                .invoke(params, description("ECParameterSpec"));
        return generate("EC", make("ECPublicKeySpec", make("ECPoint", x, y), domain));
    }
}
