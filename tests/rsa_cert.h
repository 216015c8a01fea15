// Test keys: an RSA key pair as PKCS#11 objects and a self-signed X.509
// certificate over the same key (OpenSSL).
#ifndef KV_TESTS_RSA_CERT_H
#define KV_TESTS_RSA_CERT_H

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <vector>

#include "obj_factory.h"

namespace testing_kv {

struct RsaMaterial {
    std::vector<uint8_t> modulus, certificate;
};

inline RsaMaterial MakeRsaMaterial() {
    RsaMaterial m;
    EVP_PKEY* key = EVP_RSA_gen(1024);
    BIGNUM* n = nullptr;
    EVP_PKEY_get_bn_param(key, "n", &n);
    m.modulus.resize(static_cast<size_t>(BN_num_bytes(n)));
    BN_bn2bin(n, m.modulus.data());
    BN_free(n);
    X509* x = X509_new();
    ASN1_INTEGER_set(X509_get_serialNumber(x), 1);
    X509_gmtime_adj(X509_getm_notBefore(x), 0);
    X509_gmtime_adj(X509_getm_notAfter(x), 3600);
    X509_set_pubkey(x, key);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(x), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("kv test"), -1, -1, 0);
    X509_set_issuer_name(x, X509_get_subject_name(x));
    X509_sign(x, key, EVP_sha256());
    int len = i2d_X509(x, nullptr);
    m.certificate.resize(static_cast<size_t>(len));
    unsigned char* p = m.certificate.data();
    i2d_X509(x, &p);
    X509_free(x);
    EVP_PKEY_free(key);
    return m;
}

// A token key or certificate object: class, key type (RSA), flags, value.
inline ObjPtr RsaObject(CK_OBJECT_CLASS cls, const std::vector<uint8_t>& value, bool exchange, uint32_t handle,
                        bool onToken = true) {
    CK_ULONG c = cls, keyType = CKK_RSA, certType = CKC_X_509;
    CK_BBOOL token = onToken, flag = exchange;
    std::vector<CK_ATTRIBUTE> t{{CKA_CLASS, &c, sizeof c}, {CKA_TOKEN, &token, 1}};
    if (cls == CKO_CERTIFICATE) {
        t.push_back({CKA_CERTIFICATE_TYPE, &certType, sizeof certType});
        t.push_back({CKA_VALUE, const_cast<uint8_t*>(value.data()), value.size()});
    } else {
        t.push_back({CKA_KEY_TYPE, &keyType, sizeof keyType});
        t.push_back({CKA_MODULUS, const_cast<uint8_t*>(value.data()), value.size()});
        t.push_back({cls == CKO_PRIVATE_KEY ? CKA_DECRYPT : CKA_ENCRYPT, &flag, 1});
    }
    ObjPtr o = ObjFactory::CreateObject(t.data(), t.size());
    if (o) o->SetHandle(handle);
    return o;
}

}  // namespace testing_kv

#endif
