// Secret key generation in the library, and Diffie-Hellman key pairs and
// derivation checked against OpenSSL: shared secrets it computes from the
// same values, and a party of its own. Groups: ffdhe2048 (RFC 7919) and the
// 768-bit group of RFC 2409, 6.1, whose secrets are shorter than the
// longest RC2 and RC4 keys.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include <memory>
#include <string>

#include "alg_factory.h"
#include "dh_soft.h"
#include "keygen_soft.h"
#include "key_template.h"

using testing_kv::AttrOf;
using testing_kv::BnParam;
using testing_kv::Bytes;
using testing_kv::FromBn;
using testing_kv::Hex;
using testing_kv::KeyTemplate;
using testing_kv::SecretKey;

namespace {

constexpr CK_ULONG kAbsent = ~0UL;

// --- secret key generation --------------------------------------------------

CK_RV Generate(CK_MECHANISM_TYPE mechanism, const ObjPtr& key) {
    CK_MECHANISM m{mechanism, nullptr, 0};
    Alg* alg = nullptr;
    CK_RV rv = AlgFactory().CreateGenerateKeyAlg(&m, key, &alg);
    std::unique_ptr<Alg> owned(alg);
    if (rv) return rv;
    return owned->Do(nullptr, 0, nullptr, nullptr);
}

ObjPtr SecretWithLength(CK_KEY_TYPE type, CK_ULONG length) {
    KeyTemplate t = SecretKey(type);
    if (length != kAbsent) t.ULong(CKA_VALUE_LEN, length);
    return t.Make();
}

TEST(SoftKeyGen, LengthTableOfEveryGenerator) {
    const CK_RV bad = CKR_TEMPLATE_INCONSISTENT;
    struct Case {
        CK_MECHANISM_TYPE mechanism;
        CK_KEY_TYPE type;
        CK_ULONG asked;
        CK_RV rv;
        size_t length;
    } cases[] = {
        {CKM_DES_KEY_GEN, CKK_DES, kAbsent, CKR_OK, 8},       {CKM_DES_KEY_GEN, CKK_DES, 8, CKR_OK, 8},
        {CKM_DES_KEY_GEN, CKK_DES, 0, bad, 0},                {CKM_DES_KEY_GEN, CKK_DES, 16, bad, 0},
        {CKM_DES3_KEY_GEN, CKK_DES3, kAbsent, CKR_OK, 24},    {CKM_DES3_KEY_GEN, CKK_DES3, 0, CKR_OK, 24},
        {CKM_DES3_KEY_GEN, CKK_DES3, 16, CKR_OK, 16},         {CKM_DES3_KEY_GEN, CKK_DES3, 24, CKR_OK, 24},
        {CKM_DES3_KEY_GEN, CKK_DES3, 20, bad, 0},             {CKM_DES3_KEY_GEN, CKK_DES3, 32, bad, 0},
        {CKM_AES_KEY_GEN, CKK_AES, kAbsent, CKR_OK, 16},      {CKM_AES_KEY_GEN, CKK_AES, 0, CKR_OK, 16},
        {CKM_AES_KEY_GEN, CKK_AES, 24, CKR_OK, 24},           {CKM_AES_KEY_GEN, CKK_AES, 32, CKR_OK, 32},
        {CKM_AES_KEY_GEN, CKK_AES, 20, bad, 0},               {CKM_AES_KEY_GEN, CKK_AES, 8, bad, 0},
        {CKM_AES_KEY_GEN, CKK_AES, 40, bad, 0},               {CKM_AES_KEY_GEN, CKK_DES, kAbsent, bad, 0},
        {CKM_GENERIC_SECRET_KEY_GEN, CKK_GENERIC_SECRET, kAbsent, CKR_OK, 64},
        {CKM_GENERIC_SECRET_KEY_GEN, CKK_GENERIC_SECRET, 0, CKR_OK, 64},
        {CKM_GENERIC_SECRET_KEY_GEN, CKK_GENERIC_SECRET, 1, CKR_OK, 1},
        {CKM_GENERIC_SECRET_KEY_GEN, CKK_GENERIC_SECRET, 256, CKR_OK, 256},
        {CKM_GENERIC_SECRET_KEY_GEN, CKK_GENERIC_SECRET, 257, bad, 0},
        {CKM_RC2_KEY_GEN, CKK_RC2, kAbsent, CKR_OK, 5},       {CKM_RC2_KEY_GEN, CKK_RC2, 1, CKR_OK, 1},
        {CKM_RC2_KEY_GEN, CKK_RC2, 128, CKR_OK, 128},         {CKM_RC2_KEY_GEN, CKK_RC2, 129, bad, 0},
        {CKM_RC4_KEY_GEN, CKK_RC4, kAbsent, CKR_OK, 5},       {CKM_RC4_KEY_GEN, CKK_RC4, 0, CKR_OK, 5},
        {CKM_RC4_KEY_GEN, CKK_RC4, 256, CKR_OK, 256},         {CKM_RC4_KEY_GEN, CKK_RC4, 257, bad, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.mechanism) + " asked " + std::to_string(static_cast<long>(c.asked)));
        const ObjPtr key = SecretWithLength(c.type, c.asked);
        ASSERT_TRUE(key);
        EXPECT_EQ(Generate(c.mechanism, key), c.rv);
        EXPECT_EQ(AttrOf(key, CKA_VALUE).size(), c.length);
        EXPECT_EQ(key->HasAttr(CKA_VALUE_LEN), c.asked != kAbsent);  // never written
    }
}

TEST(SoftKeyGen, RefusesOtherObjectsAndMechanisms) {
    const ObjPtr data = KeyTemplate().ULong(CKA_CLASS, CKO_DATA).Make();
    EXPECT_EQ(Generate(CKM_AES_KEY_GEN, data), CKR_GENERAL_ERROR);
    GenerateKeyAESSoft aes;
    CK_MECHANISM des{CKM_DES_KEY_GEN, nullptr, 0};
    EXPECT_EQ(aes.Init(&des, SecretKey(CKK_AES).Make()), CKR_GENERAL_ERROR);
    EXPECT_EQ(aes.Init(nullptr, SecretKey(CKK_AES).Make()), CKR_GENERAL_ERROR);
    EXPECT_EQ(aes.Do(nullptr, 0, nullptr, nullptr), CKR_GENERAL_ERROR);  // never initialised
}

TEST(SoftKeyGen, ValuesAreFreshAndDesParityIsLeftAsDrawn) {
    const ObjPtr a = SecretWithLength(CKK_AES, 32), b = SecretWithLength(CKK_AES, 32);
    ASSERT_EQ(Generate(CKM_AES_KEY_GEN, a), CKR_OK);
    ASSERT_EQ(Generate(CKM_AES_KEY_GEN, b), CKR_OK);
    EXPECT_NE(AttrOf(a, CKA_VALUE), AttrOf(b, CKA_VALUE));
    EXPECT_NE(AttrOf(a, CKA_VALUE), Bytes(32, 0));
    // With the parity adjusted every byte would have an odd number of bits;
    // among 16 random keys some byte has an even number.
    bool evenByte = false;
    for (int i = 0; i < 16; ++i) {
        const ObjPtr des = SecretWithLength(CKK_DES, kAbsent);
        ASSERT_EQ(Generate(CKM_DES_KEY_GEN, des), CKR_OK);
        for (uint8_t byte : AttrOf(des, CKA_VALUE)) evenByte |= __builtin_parity(byte) == 0;
    }
    EXPECT_TRUE(evenByte);
}

// --- OpenSSL's Diffie-Hellman -----------------------------------------------

using PKey = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using Bn = std::unique_ptr<BIGNUM, decltype(&BN_free)>;

struct Group {
    Bytes p, g;
};

Bn ToBn(const Bytes& b) { return Bn(BN_bin2bn(b.data(), static_cast<int>(b.size()), nullptr), BN_free); }

PKey FromData(OSSL_PARAM* params, int selection) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "DH", nullptr);
    EVP_PKEY* key = nullptr;
    EXPECT_EQ(EVP_PKEY_fromdata_init(ctx), 1);
    EXPECT_EQ(EVP_PKEY_fromdata(ctx, &key, selection, params), 1);
    EVP_PKEY_CTX_free(ctx);
    return PKey(key, EVP_PKEY_free);
}

const Group& Ffdhe2048() {
    static const Group group = [] {
        char name[] = "ffdhe2048";
        OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, name, 0), OSSL_PARAM_END};
        const PKey key = FromData(params, EVP_PKEY_KEY_PARAMETERS);
        return Group{BnParam(key.get(), OSSL_PKEY_PARAM_FFC_P), BnParam(key.get(), OSSL_PKEY_PARAM_FFC_G)};
    }();
    return group;
}

// RFC 2409, 6.1: the first Oakley group, generator 2.
const Group& Oakley768() {
    static const Group group{Hex("FFFFFFFFFFFFFFFFC90FDAA22168C234C4C6628B80DC1CD129024E088A67CC74020BBEA63B139B22"
                                 "514A08798E3404DDEF9519B3CD3A431B302B0A6DF25F14374FE1356D6D51C245E485B576625E7EC6"
                                 "F44C42E9A63A3620FFFFFFFFFFFFFFFF"),
                             {2}};
    return group;
}

// An OpenSSL DH key in the group: a public key, or a key pair with x.
PKey DhKey(const Group& group, const Bytes& y, const Bytes* x = nullptr) {
    Bn p = ToBn(group.p), g = ToBn(group.g), pub = ToBn(y), priv = x ? ToBn(*x) : Bn(nullptr, BN_free);
    OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
    EXPECT_EQ(OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_FFC_P, p.get()), 1);
    EXPECT_EQ(OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_FFC_G, g.get()), 1);
    EXPECT_EQ(OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_PUB_KEY, pub.get()), 1);
    if (x) {
        EXPECT_EQ(OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_PRIV_KEY, priv.get()), 1);
    }
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
    PKey key = FromData(params, x ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(bld);
    return key;
}

// OpenSSL's own key pair in the group.
PKey OpenSslParty(const Group& group) {
    Bn p = ToBn(group.p), g = ToBn(group.g);
    OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_FFC_P, p.get());
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_FFC_G, g.get());
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
    const PKey domain = FromData(params, EVP_PKEY_KEY_PARAMETERS);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(bld);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_pkey(nullptr, domain.get(), nullptr);
    EVP_PKEY* key = nullptr;
    EXPECT_EQ(EVP_PKEY_keygen_init(ctx), 1);
    EXPECT_EQ(EVP_PKEY_keygen(ctx, &key), 1);
    EVP_PKEY_CTX_free(ctx);
    return PKey(key, EVP_PKEY_free);
}

// The shared secret as OpenSSL computes it, without leading zero bytes.
Bytes OpenSslSecret(const PKey& mine, const PKey& peer) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_pkey(nullptr, mine.get(), nullptr);
    size_t len = 0;
    EXPECT_EQ(EVP_PKEY_derive_init(ctx), 1);
    EXPECT_EQ(EVP_PKEY_derive_set_peer(ctx, peer.get()), 1);
    EXPECT_EQ(EVP_PKEY_derive(ctx, nullptr, &len), 1);
    Bytes z(len);
    EXPECT_EQ(EVP_PKEY_derive(ctx, z.data(), &len), 1);
    EVP_PKEY_CTX_free(ctx);
    z.resize(len);
    return z;
}

// --- the library's key pairs and derivations --------------------------------

struct Pair {
    ObjPtr pub, prv;
};

Pair NewPair(const Group& group, CK_ULONG valueBits = kAbsent, CK_RV want = CKR_OK) {
    Pair pair{KeyTemplate()
                  .ULong(CKA_CLASS, CKO_PUBLIC_KEY)
                  .ULong(CKA_KEY_TYPE, CKK_DH)
                  .Raw(CKA_PRIME, group.p)
                  .Raw(CKA_BASE, group.g)
                  .Make(),
              KeyTemplate().ULong(CKA_CLASS, CKO_PRIVATE_KEY).ULong(CKA_KEY_TYPE, CKK_DH).Make()};
    if (valueBits != kAbsent) pair.prv->SetAttr(CKA_VALUE_BITS, &valueBits, sizeof valueBits);
    CK_MECHANISM m{CKM_DH_PKCS_KEY_PAIR_GEN, nullptr, 0};
    Alg* alg = nullptr;
    EXPECT_EQ(AlgFactory().CreateGenerateKeyPairAlg(&m, pair.pub, pair.prv, &alg), CKR_OK);
    std::unique_ptr<Alg> owned(alg);
    EXPECT_EQ(owned ? owned->Do(nullptr, 0, nullptr, nullptr) : CKR_GENERAL_ERROR, want);
    return pair;
}

// Creates the derivation (its status in createRv) and runs it.
CK_RV Derive(const ObjPtr& base, const ObjPtr& newKey, const Bytes& peer, CK_RV* createRv = nullptr) {
    CK_MECHANISM m{CKM_DH_PKCS_DERIVE, const_cast<uint8_t*>(peer.data()), peer.size()};
    Alg* alg = nullptr;
    const CK_RV rv = AlgFactory().CreateDeriveAlg(&m, base, newKey, &alg);
    if (createRv) *createRv = rv;
    std::unique_ptr<Alg> owned(alg);
    return rv ? rv : owned->Do(nullptr, 0, nullptr, nullptr);
}

// The key a derivation should give: the last bytes of Z, or Z and zeros.
Bytes Fitted(const Bytes& z, size_t length) {
    if (z.size() >= length) return Bytes(z.end() - static_cast<std::ptrdiff_t>(length), z.end());
    Bytes key = z;
    key.resize(length, 0);
    return key;
}

// G^X mod P, computed by OpenSSL.
Bytes PublicOf(const Group& group, const Bytes& x) {
    Bn y(BN_new(), BN_free), g = ToBn(group.g), e = ToBn(x), p = ToBn(group.p);
    BN_CTX* ctx = BN_CTX_new();
    EXPECT_EQ(BN_mod_exp(y.get(), g.get(), e.get(), p.get(), ctx), 1);
    BN_CTX_free(ctx);
    return FromBn(y.get());
}

TEST(SoftDh, PairGenerationFillsBothKeys) {
    for (const Group* group : {&Oakley768(), &Ffdhe2048()}) {
        const Pair pair = NewPair(*group);
        const Bytes y = AttrOf(pair.pub, CKA_VALUE), x = AttrOf(pair.prv, CKA_VALUE);
        EXPECT_EQ(AttrOf(pair.prv, CKA_PRIME), group->p);
        EXPECT_EQ(AttrOf(pair.prv, CKA_BASE), group->g);
        EXPECT_EQ(PublicOf(*group, x), y);
        ASSERT_FALSE(y.empty());
        EXPECT_LT(BN_cmp(ToBn(y).get(), ToBn(group->p).get()), 0);
        EXPECT_GT(y.size(), 1u);
        EXPECT_NE(y[0], 0);  // minimal big-endian
    }
}

TEST(SoftDh, PrivateValueBitsAreBits) {
    const Group& group = Ffdhe2048();
    struct Case {
        CK_ULONG bits;
        size_t minBytes, maxBytes;
    } cases[] = {{256, 1, 32}, {161, 1, 21}, {0, 240, 256}, {kAbsent, 240, 256}, {4096, 240, 256}};
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<long>(c.bits));
        const Pair pair = NewPair(group, c.bits);
        const Bytes x = AttrOf(pair.prv, CKA_VALUE);
        EXPECT_GE(x.size(), c.minBytes);
        EXPECT_LE(x.size(), c.maxBytes);
        EXPECT_EQ(PublicOf(group, x), AttrOf(pair.pub, CKA_VALUE));
    }
}

TEST(SoftDh, PairGenerationRefusals) {
    const Group empty{{}, {2}};
    NewPair(empty, kAbsent, CKR_TEMPLATE_INCONSISTENT);
    const Group huge{Bytes(1025, 0xFF), {2}};
    NewPair(huge, kAbsent, CKR_KEY_SIZE_RANGE);
    const Group even{Bytes(64, 0xFE), {2}};
    NewPair(even, kAbsent, CKR_GENERAL_ERROR);

    const Pair pair = NewPair(Oakley768());
    GenerateKeyPairDHSoft gen;
    CK_MECHANISM m{CKM_DH_PKCS_KEY_PAIR_GEN, nullptr, 0}, other{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
    EXPECT_EQ(gen.Init(&other, pair.pub, pair.prv), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(gen.Init(&m, pair.prv, pair.pub), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(gen.Init(&m, pair.pub, ObjPtr()), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(gen.Init(&m, pair.pub, SecretKey(CKK_AES).Make()), CKR_ARGUMENTS_BAD);
}

struct KeyCase {
    CK_KEY_TYPE type;
    CK_ULONG asked;
    size_t length;
};

const KeyCase kDerivedKeys[] = {{CKK_DES, kAbsent, 8},   {CKK_DES, 8, 8},        {CKK_DES3, kAbsent, 24},
                                {CKK_DES3, 24, 24},      {CKK_AES, kAbsent, 16}, {CKK_AES, 24, 24},
                                {CKK_AES, 32, 32},       {CKK_RC2, kAbsent, 5},  {CKK_RC2, 128, 128},
                                {CKK_RC4, kAbsent, 5},   {CKK_RC4, 100, 100}};

TEST(SoftDh, TwoPartiesDeriveTheTailOfOpenSslsSecret) {
    for (const Group* group : {&Oakley768(), &Ffdhe2048()}) {
        const Pair a = NewPair(*group), b = NewPair(*group);
        const Bytes xA = AttrOf(a.prv, CKA_VALUE);
        const Bytes z =
            OpenSslSecret(DhKey(*group, AttrOf(a.pub, CKA_VALUE), &xA), DhKey(*group, AttrOf(b.pub, CKA_VALUE)));
        ASSERT_FALSE(z.empty());
        if (group == &Oakley768()) {
            EXPECT_LT(z.size(), 100u);  // the zero-padded cases below are reached
        }
        for (const KeyCase& k : kDerivedKeys) {
            SCOPED_TRACE(std::to_string(k.type) + "/" + std::to_string(k.length) + " in " +
                         std::to_string(group->p.size()));
            const ObjPtr keyA = SecretWithLength(k.type, k.asked), keyB = SecretWithLength(k.type, k.asked);
            EXPECT_EQ(Derive(a.prv, keyA, AttrOf(b.pub, CKA_VALUE)), CKR_OK);
            EXPECT_EQ(Derive(b.prv, keyB, AttrOf(a.pub, CKA_VALUE)), CKR_OK);
            EXPECT_EQ(AttrOf(keyA, CKA_VALUE), Fitted(z, k.length));
            EXPECT_EQ(AttrOf(keyB, CKA_VALUE), AttrOf(keyA, CKA_VALUE));
        }
    }
}

TEST(SoftDh, DerivesWithAnOpenSslParty) {
    const Group& group = Ffdhe2048();
    const PKey theirs = OpenSslParty(group);
    const Pair ours = NewPair(group);
    const ObjPtr key = SecretWithLength(CKK_AES, 32);
    ASSERT_EQ(Derive(ours.prv, key, BnParam(theirs.get(), OSSL_PKEY_PARAM_PUB_KEY)), CKR_OK);
    const Bytes z = OpenSslSecret(theirs, DhKey(group, AttrOf(ours.pub, CKA_VALUE)));
    EXPECT_EQ(AttrOf(key, CKA_VALUE), Fitted(z, 32));
}

TEST(SoftDh, ThePeerValueIsChecked) {
    const Group& group = Oakley768();
    const Pair pair = NewPair(group), peer = NewPair(group);
    const Bytes y = AttrOf(peer.pub, CKA_VALUE);
    Bn p = ToBn(group.p), value(BN_new(), BN_free);
    auto offset = [&](long delta) {
        BN_copy(value.get(), p.get());
        delta < 0 ? BN_sub_word(value.get(), static_cast<BN_ULONG>(-delta))
                  : BN_add_word(value.get(), static_cast<BN_ULONG>(delta));
        return FromBn(value.get());
    };
    Bytes padded = y;
    padded.insert(padded.begin(), 3, 0);
    struct Case {
        const char* name;
        Bytes peer;
        CK_RV create, derive;
    } cases[] = {
        {"zero", {0}, CKR_OK, CKR_MECHANISM_PARAM_INVALID},
        {"one", {0, 1}, CKR_OK, CKR_MECHANISM_PARAM_INVALID},
        {"two", {2}, CKR_OK, CKR_OK},
        {"p-2", offset(-2), CKR_OK, CKR_OK},
        {"p-1", offset(-1), CKR_OK, CKR_MECHANISM_PARAM_INVALID},
        {"p", group.p, CKR_OK, CKR_MECHANISM_PARAM_INVALID},
        {"p+1", offset(1), CKR_OK, CKR_MECHANISM_PARAM_INVALID},
        {"longer than any prime", Bytes(1025, 1), CKR_MECHANISM_PARAM_INVALID, CKR_MECHANISM_PARAM_INVALID},
        {"leading zeros", padded, CKR_OK, CKR_OK},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CK_RV created = CKR_GENERAL_ERROR;
        const ObjPtr key = SecretWithLength(CKK_AES, 16);
        EXPECT_EQ(Derive(pair.prv, key, c.peer, &created), c.derive);
        EXPECT_EQ(created, c.create);
        EXPECT_EQ(AttrOf(key, CKA_VALUE).empty(), c.derive != CKR_OK);
    }

    uint8_t byte = 2;
    const ObjPtr key = SecretWithLength(CKK_AES, 16);
    struct Refused {
        CK_MECHANISM m;
        CK_RV rv;
    } refused[] = {{{CKM_DH_PKCS_DERIVE, &byte, 0}, CKR_MECHANISM_PARAM_INVALID},
                   {{CKM_DH_PKCS_DERIVE, nullptr, 0}, CKR_MECHANISM_INVALID},
                   {{CKM_ECDH1_DERIVE, &byte, 1}, CKR_MECHANISM_INVALID}};
    for (const Refused& r : refused) {
        DeriveKeyDHPKCS derive;
        EXPECT_EQ(derive.Init(&r.m, pair.prv, key), r.rv);
    }
}

TEST(SoftDh, ABaseKeyWithoutItsPrivateValueDerivesNothing) {
    const Group& group = Oakley768();
    const Bytes y = AttrOf(NewPair(group).pub, CKA_VALUE);
    Bn pMinus1 = ToBn(group.p);
    BN_sub_word(pMinus1.get(), 1);
    struct Case {
        const char* name;
        Bytes x;
        bool present;
    } cases[] = {{"empty", {}, true},
                 {"absent", {}, false},
                 {"one", {1}, true},
                 {"p-1", FromBn(pMinus1.get()), true},
                 {"p", group.p, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::pair<CK_ATTRIBUTE_TYPE, Bytes>> values = {
            {CKA_CLASS, testing_kv::ULong4(CKO_PRIVATE_KEY)}, {CKA_KEY_TYPE, testing_kv::ULong4(CKK_DH)},
            {CKA_DERIVE, {1}}, {CKA_PRIME, group.p}, {CKA_BASE, group.g}};
        if (c.present) values.push_back({CKA_VALUE, c.x});
        const ObjPtr key = SecretWithLength(CKK_AES, 16);
        EXPECT_EQ(Derive(testing_kv::MakeRaw(values), key, y), CKR_KEY_HANDLE_INVALID);
        EXPECT_TRUE(AttrOf(key, CKA_VALUE).empty());
    }
}

TEST(SoftDh, NewKeyTypesAndLengthsAndTheBaseKeysRules) {
    const Group& group = Oakley768();
    const Pair a = NewPair(group), b = NewPair(group);
    const Bytes y = AttrOf(b.pub, CKA_VALUE);
    struct Case {
        CK_KEY_TYPE type;
        CK_ULONG asked;
        CK_RV rv;
    } cases[] = {{CKK_AES, 20, CKR_KEY_TYPE_INCONSISTENT}, {CKK_AES, 0, CKR_KEY_TYPE_INCONSISTENT},
                 {CKK_DES3, 16, CKR_KEY_TYPE_INCONSISTENT}, {CKK_DES, 0, CKR_KEY_TYPE_INCONSISTENT},
                 {CKK_RC4, 4, CKR_KEY_TYPE_INCONSISTENT},  {CKK_RC2, 129, CKR_KEY_TYPE_INCONSISTENT},
                 {CKK_GENERIC_SECRET, kAbsent, CKR_GENERAL_ERROR}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.type) + "/" + std::to_string(static_cast<long>(c.asked)));
        EXPECT_EQ(Derive(a.prv, SecretWithLength(c.type, c.asked), y), c.rv);
    }
    const CK_BBOOL no = CK_FALSE;
    a.prv->SetAttr(CKA_DERIVE, &no, 1);
    EXPECT_EQ(Derive(a.prv, SecretWithLength(CKK_AES, 16), y), CKR_GENERAL_ERROR);
    EXPECT_EQ(Derive(b.pub, SecretWithLength(CKK_AES, 16), y), CKR_GENERAL_ERROR);  // a public key
    EXPECT_EQ(Derive(b.prv, b.pub, y), CKR_GENERAL_ERROR);                           // not a secret key
}

TEST(SoftDh, DerivedKeysFollowTheBaseKeysHistory) {
    const Group& group = Oakley768();
    const Pair a = NewPair(group);
    const Bytes y = AttrOf(NewPair(group).pub, CKA_VALUE);
    struct Case {
        bool baseAlwaysSensitive, baseNeverExtractable, sensitive, extractable;
        bool alwaysSensitive, neverExtractable;
    } cases[] = {{true, true, true, false, true, true},
                 {true, true, false, true, false, false},
                 {false, false, true, false, false, false},
                 {true, false, true, false, true, false}};
    for (const Case& c : cases) {
        a.prv->SetAttr(CKA_ALWAYS_SENSITIVE, &c.baseAlwaysSensitive, 1);
        a.prv->SetAttr(CKA_NEVER_EXTRACTABLE, &c.baseNeverExtractable, 1);
        const ObjPtr key = SecretKey(CKK_AES)
                               .Flag(CKA_SENSITIVE, c.sensitive)
                               .Flag(CKA_EXTRACTABLE, c.extractable)
                               .Flag(CKA_LOCAL, true)
                               .Make();
        ASSERT_EQ(Derive(a.prv, key, y), CKR_OK);
        EXPECT_EQ(AttrOf(key, CKA_ALWAYS_SENSITIVE), Bytes{c.alwaysSensitive});
        EXPECT_EQ(AttrOf(key, CKA_NEVER_EXTRACTABLE), Bytes{c.neverExtractable});
        EXPECT_EQ(AttrOf(key, CKA_LOCAL), Bytes{0});
    }
}

}  // namespace
