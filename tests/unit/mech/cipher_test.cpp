// Software ciphers through the Alg interface: published vectors in one part
// and split at awkward boundaries, OpenSSL's EVP where no vector exists, the
// key and parameter rules, and the padding and length protocol of CBC-PAD.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstring>
#include <memory>
#include <string>

#include "alg_factory.h"
#include "obj_factory.h"
#include "multipart_drive.h"
#include "test_vectors.h"

using testing_kv::Bytes;
using testing_kv::Hex;
using testing_kv::ToHex;

using testing_kv::InParts;
using testing_kv::OnePart;

namespace {

ObjPtr SecretKey(const Bytes& value) {
    CK_ULONG cls = CKO_SECRET_KEY, type = CKK_GENERIC_SECRET;
    CK_ATTRIBUTE t[] = {{CKA_CLASS, &cls, sizeof cls},
                        {CKA_KEY_TYPE, &type, sizeof type},
                        {CKA_VALUE, const_cast<uint8_t*>(value.data()), value.size()}};
    return ObjFactory::CreateObject(t, 3);
}

struct Made {
    CK_RV rv;
    std::unique_ptr<AlgMultiPart> alg;
};

Made Make(CK_MECHANISM_TYPE type, bool encrypt, const Bytes& key, const Bytes& param) {
    AlgFactory factory;
    CK_MECHANISM m{type, param.empty() ? nullptr : const_cast<uint8_t*>(param.data()), param.size()};
    Alg* alg = nullptr;
    ObjPtr obj = SecretKey(key);
    CK_RV rv = encrypt ? factory.CreateEncAlg(&m, obj, &alg) : factory.CreateDecAlg(&m, obj, &alg);
    Made made{rv, std::unique_ptr<AlgMultiPart>(dynamic_cast<AlgMultiPart*>(alg))};
    EXPECT_TRUE(alg == nullptr || made.alg != nullptr);
    return made;
}

std::unique_ptr<AlgMultiPart> Ready(CK_MECHANISM_TYPE type, bool encrypt, const Bytes& key, const Bytes& param) {
    Made made = Make(type, encrypt, key, param);
    EXPECT_EQ(made.rv, CKR_OK) << std::hex << type;
    return std::move(made.alg);
}

Bytes Rc2Params(CK_ULONG bits) {
    Bytes p(sizeof bits);
    std::memcpy(p.data(), &bits, sizeof bits);
    return p;
}

Bytes Rc2CbcParams(CK_ULONG bits, const Bytes& iv) {
    CK_RC2_CBC_PARAMS params{bits, {}};
    std::memcpy(params.iv, iv.data(), sizeof params.iv);
    Bytes p(sizeof params);
    std::memcpy(p.data(), &params, sizeof params);
    return p;
}

Bytes Xor(const Bytes& a, const Bytes& b) {
    Bytes r(a.size());
    for (size_t i = 0; i < a.size(); ++i) r[i] = a[i] ^ b[i];
    return r;
}

Bytes Cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// CBC input that turns published ECB pairs into a CBC vector: each block is
// the ECB plaintext XOR the previous ciphertext (the IV first), so the CBC
// ciphertext is the ECB ciphertext.
Bytes CbcInputForEcb(const Bytes& iv, const Bytes& ecbPlain, const Bytes& ecbCipher) {
    const size_t b = iv.size();
    Bytes in;
    Bytes previous = iv;
    for (size_t i = 0; i < ecbPlain.size(); i += b) {
        Bytes block(ecbPlain.begin() + static_cast<long>(i), ecbPlain.begin() + static_cast<long>(i + b));
        in = Cat(in, Xor(block, previous));
        previous.assign(ecbCipher.begin() + static_cast<long>(i), ecbCipher.begin() + static_cast<long>(i + b));
    }
    return in;
}

struct Vector {
    const char* name;
    CK_MECHANISM_TYPE mech;
    Bytes key, param, plain, cipher;
};

std::vector<Vector> PublishedVectors() {
    // FIPS 81 ("Now is the time for all "), SP 800-20 tables, SP 800-67
    // appendix example, FIPS 197 appendix C, SP 800-38A F.1 and F.2,
    // RFC 2268 section 5, RFC 6229 (the first 32 bytes of the key stream).
    const Bytes fox = Hex("54686520717566636B2062726F776E20666F78206A756D70");
    const Bytes sp67Key = Hex("0123456789ABCDEF23456789ABCDEF01456789ABCDEF0123");
    const Bytes sp67Ct = Hex("A826FD8CE53B855FCCE21C8112256FE668D5C05DD9B6B900");
    const Bytes nowIs = Hex("4E6F77206973207468652074696D6520666F7220616C6C20");
    const Bytes sp38 = Hex("6BC1BEE22E409F96E93D7E117393172AAE2D8A571E03AC9C9EB76FAC45AF8E51"
                           "30C81C46A35CE411E5FBC1191A0A52EFF69F2445DF4F9B17AD2B417BE66C3710");
    const Bytes k128 = Hex("2B7E151628AED2A6ABF7158809CF4F3C");
    const Bytes k192 = Hex("8E73B0F7DA0E6452C810F32B809079E562F8EAD2522C6B7B");
    const Bytes k256 = Hex("603DEB1015CA71BE2B73AEF0857D77811F352C073B6108D72D9810A30914DFF4");
    const Bytes iv16 = Hex("000102030405060708090A0B0C0D0E0F");
    const Bytes rc2Key = Hex("88BCA90E90875A7F0F79C384627BAFB2");
    const Bytes ivA = Hex("F0E1D2C3B4A59687");
    return {
        {"DES-ECB FIPS 81", CKM_DES_ECB, Hex("0123456789ABCDEF"), {}, nowIs,
         Hex("3FA40E8A984D48156A271787AB8883F9893D51EC4B563B53")},
        {"DES-CBC FIPS 81", CKM_DES_CBC, Hex("0123456789ABCDEF"), Hex("1234567890ABCDEF"), nowIs,
         Hex("E5C7CDDE872BF27C43E934008C389C0F683788499A7C05F6")},
        {"DES-ECB SP 800-20 variable text", CKM_DES_ECB, Hex("0101010101010101"), {}, Hex("8000000000000000"),
         Hex("95F8A5E5DD31D900")},
        {"DES-ECB SP 800-20 variable key", CKM_DES_ECB, Hex("8001010101010101"), {}, Hex("0000000000000000"),
         Hex("95A8D72813DAA94D")},
        {"3DES-ECB SP 800-67", CKM_DES3_ECB, sp67Key, {}, fox, sp67Ct},
        {"3DES-CBC from SP 800-67", CKM_DES3_CBC, sp67Key, ivA, CbcInputForEcb(ivA, fox, sp67Ct), sp67Ct},
        {"AES-128 FIPS 197", CKM_AES_ECB, Hex("000102030405060708090A0B0C0D0E0F"), {},
         Hex("00112233445566778899AABBCCDDEEFF"), Hex("69C4E0D86A7B0430D8CDB78070B4C55A")},
        {"AES-192 FIPS 197", CKM_AES_ECB, Hex("000102030405060708090A0B0C0D0E0F1011121314151617"), {},
         Hex("00112233445566778899AABBCCDDEEFF"), Hex("DDA97CA4864CDFE06EAF70A0EC0D7191")},
        {"AES-256 FIPS 197", CKM_AES_ECB, Hex("000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F"),
         {}, Hex("00112233445566778899AABBCCDDEEFF"), Hex("8EA2B7CA516745BFEAFC49904B496089")},
        {"ECB-AES128 SP 800-38A", CKM_AES_ECB, k128, {}, sp38,
         Hex("3AD77BB40D7A3660A89ECAF32466EF97F5D3D58503B9699DE785895A96FDBAAF"
             "43B1CD7F598ECE23881B00E3ED0306887B0C785E27E8AD3F8223207104725DD4")},
        {"ECB-AES256 SP 800-38A", CKM_AES_ECB, k256, {}, sp38,
         Hex("F3EED1BDB5D2A03C064B5A7E3DB181F8591CCB10D410ED26DC5BA74A31362870"
             "B6ED21B99CA6F4F9F153E7B1BEAFED1D23304B7A39F9F3FF067D8D8F9E24ECC7")},
        {"CBC-AES128 SP 800-38A", CKM_AES_CBC, k128, iv16, sp38,
         Hex("7649ABAC8119B246CEE98E9B12E9197D5086CB9B507219EE95DB113A917678B2"
             "73BED6B8E3C1743B7116E69E222295163FF1CAA1681FAC09120ECA307586E1A7")},
        {"CBC-AES192 SP 800-38A", CKM_AES_CBC, k192, iv16, sp38,
         Hex("4F021DB243BC633D7178183A9FA071E8B4D9ADA9AD7DEDF4E5E738763F69145A"
             "571B242012FB7AE07FA9BAAC3DF102E008B0E27988598881D920A9E64F5615CD")},
        {"CBC-AES256 SP 800-38A", CKM_AES_CBC, k256, iv16, sp38,
         Hex("F58C4C04D6E5F1BA779EABFB5F7BFBD69CFC4E967EDB808D679F777BC6702C7D"
             "39F23369A9D9BACFA530E26304231461B2EB05E2C39BE9FCDA6C19078C6A9D1B")},
        {"RC2 63 bits", CKM_RC2_ECB, Hex("0000000000000000"), Rc2Params(63), Hex("0000000000000000"),
         Hex("EBB773F993278EFF")},
        {"RC2 64 bits", CKM_RC2_ECB, Hex("FFFFFFFFFFFFFFFF"), Rc2Params(64), Hex("FFFFFFFFFFFFFFFF"),
         Hex("278B27E42E2F0D49")},
        {"RC2 64 bits, 1-byte key", CKM_RC2_ECB, Hex("88"), Rc2Params(64), Hex("0000000000000000"),
         Hex("61A8A244ADACCCF0")},
        {"RC2 64 bits, 16-byte key", CKM_RC2_ECB, rc2Key, Rc2Params(64), Hex("0000000000000000"),
         Hex("1A807D272BBE5DB1")},
        {"RC2 128 bits", CKM_RC2_ECB, rc2Key, Rc2Params(128), Hex("0000000000000000"), Hex("2269552AB0F85CA6")},
        {"RC2 129 bits", CKM_RC2_ECB,
         Hex("88BCA90E90875A7F0F79C384627BAFB216F80A6F85920584C42FCEB0BE255DAF1E"), Rc2Params(129),
         Hex("0000000000000000"), Hex("5B78D3A43DFFF1F1")},
        {"RC2-CBC 64 bits from RFC 2268", CKM_RC2_CBC, Hex("3000000000000000"), Rc2CbcParams(64, ivA),
         CbcInputForEcb(ivA, Hex("10000000000000011000000000000001"), Hex("30649EDF9BE7D2C230649EDF9BE7D2C2")),
         Hex("30649EDF9BE7D2C230649EDF9BE7D2C2")},
        {"RC4 40-bit key", CKM_RC4, Hex("0102030405"), {}, Bytes(32, 0),
         Hex("B2396305F03DC027CCC3524A0A1118A86982944F18FC82D589C403A47A0D0919")},
        {"RC4 128-bit key", CKM_RC4, Hex("0102030405060708090A0B0C0D0E0F10"), {}, Bytes(32, 0),
         Hex("9AC7CC9A609D1EF7B2932899CDE41B975248C4959014126A6E8A84F11D1A9E1C")},
        {"RC4 256-bit key", CKM_RC4, Hex("0102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F20"), {},
         Bytes(32, 0), Hex("EAA6BD25880BF93D3F5D1E4CA2611D91CFA45C9F7E714B54BDFA80027CB14380")},
    };
}

TEST(SoftCiphers, PublishedVectorsInOnePartAndInParts) {
    for (const Vector& v : PublishedVectors()) {
        SCOPED_TRACE(v.name);
        for (bool encrypt : {true, false}) {
            const Bytes& in = encrypt ? v.plain : v.cipher;
            const Bytes& want = encrypt ? v.cipher : v.plain;
            EXPECT_EQ(ToHex(OnePart(*Ready(v.mech, encrypt, v.key, v.param), in)), ToHex(want));
            EXPECT_EQ(ToHex(InParts(*Ready(v.mech, encrypt, v.key, v.param), in)), ToHex(want));
        }
    }
}

// EVP's cipher for a mechanism and key length.
const EVP_CIPHER* Evp(CK_MECHANISM_TYPE mech, size_t keyLen) {
    switch (mech) {
        case CKM_AES_ECB: return keyLen == 16 ? EVP_aes_128_ecb() : EVP_aes_256_ecb();
        case CKM_AES_CBC:
        case CKM_AES_CBC_PAD: return keyLen == 16 ? EVP_aes_128_cbc() : EVP_aes_256_cbc();
        case CKM_DES3_ECB: return keyLen == 16 ? EVP_des_ede_ecb() : EVP_des_ede3_ecb();
        case CKM_DES3_CBC:
        case CKM_DES3_CBC_PAD: return keyLen == 16 ? EVP_des_ede_cbc() : EVP_des_ede3_cbc();
        default: return nullptr;
    }
}

Bytes EvpEncrypt(CK_MECHANISM_TYPE mech, const Bytes& key, const Bytes& iv, const Bytes& in, bool pad) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    Bytes out(in.size() + 16);
    int n = 0, m = 0;
    EXPECT_EQ(EVP_EncryptInit_ex(ctx, Evp(mech, key.size()), nullptr, key.data(), iv.empty() ? nullptr : iv.data()), 1);
    EVP_CIPHER_CTX_set_padding(ctx, pad ? 1 : 0);
    EXPECT_EQ(EVP_EncryptUpdate(ctx, out.data(), &n, in.data(), static_cast<int>(in.size())), 1);
    EXPECT_EQ(EVP_EncryptFinal_ex(ctx, out.data() + n, &m), 1);
    EVP_CIPHER_CTX_free(ctx);
    out.resize(static_cast<size_t>(n + m));
    return out;
}

Bytes Random(size_t n) {
    Bytes b(n);
    EXPECT_EQ(RAND_bytes(b.data(), static_cast<int>(n)), 1);
    return b;
}

TEST(SoftCiphers, MatchOpenSslForRandomKeysAndLengths) {
    struct Case {
        CK_MECHANISM_TYPE mech;
        size_t keyLen, ivLen;
        bool pad;
    } cases[] = {
        {CKM_AES_ECB, 16, 0, false},     {CKM_AES_CBC, 32, 16, false},    {CKM_AES_CBC_PAD, 16, 16, true},
        {CKM_AES_CBC_PAD, 32, 16, true}, {CKM_DES3_ECB, 16, 0, false},    {CKM_DES3_CBC, 16, 8, false},
        {CKM_DES3_CBC, 24, 8, false},    {CKM_DES3_CBC_PAD, 16, 8, true}, {CKM_DES3_CBC_PAD, 24, 8, true},
    };
    for (const Case& c : cases) {
        for (size_t len : {0, 1, 15, 16, 17, 31, 32, 100, 1024}) {
            if (!c.pad && len % 16) continue;
            SCOPED_TRACE(std::to_string(c.mech) + " key " + std::to_string(c.keyLen) + " len " + std::to_string(len));
            const Bytes key = Random(c.keyLen), iv = Random(c.ivLen), msg = Random(len);
            const Bytes want = EvpEncrypt(c.mech, key, iv, msg, c.pad);
            EXPECT_EQ(ToHex(OnePart(*Ready(c.mech, true, key, iv), msg)), ToHex(want));
            EXPECT_EQ(ToHex(InParts(*Ready(c.mech, true, key, iv), msg)), ToHex(want));
            EXPECT_EQ(ToHex(OnePart(*Ready(c.mech, false, key, iv), want)), ToHex(msg));
            EXPECT_EQ(ToHex(InParts(*Ready(c.mech, false, key, iv), want)), ToHex(msg));
        }
    }
}

// One padded block whose cipher input is a published ECB plaintext: the IV
// is chosen as (message || padding) XOR that plaintext.
TEST(SoftCiphers, PaddingOfOneBlockForDesAndRc2) {
    struct Case {
        CK_MECHANISM_TYPE mech;
        Bytes key, ecbPlain, ecbCipher;
        bool rc2;
    } cases[] = {
        {CKM_DES_CBC_PAD, Hex("0101010101010101"), Hex("8000000000000000"), Hex("95F8A5E5DD31D900"), false},
        {CKM_RC2_CBC_PAD, Hex("88"), Hex("0000000000000000"), Hex("61A8A244ADACCCF0"), true},
    };
    for (const Case& c : cases) {
        for (size_t len : {0, 3, 7}) {
            SCOPED_TRACE(std::to_string(c.mech) + " len " + std::to_string(len));
            Bytes msg(len, 0x5A), padded = msg;
            padded.resize(8, static_cast<uint8_t>(8 - len));
            const Bytes iv = Xor(padded, c.ecbPlain);
            const Bytes param = c.rc2 ? Rc2CbcParams(64, iv) : iv;
            EXPECT_EQ(ToHex(OnePart(*Ready(c.mech, true, c.key, param), msg)), ToHex(c.ecbCipher));
            EXPECT_EQ(ToHex(InParts(*Ready(c.mech, false, c.key, param), c.ecbCipher)), ToHex(msg));
        }
    }
}

TEST(SoftCiphers, KeyAndParameterRules) {
    const Bytes iv8(8, 1), iv16(16, 2);
    struct Case {
        const char* what;
        CK_MECHANISM_TYPE mech;
        Bytes key, param;
        CK_RV rv;
    } cases[] = {
        {"DES key of 7 bytes", CKM_DES_ECB, Bytes(7, 1), {}, CKR_KEY_TYPE_INCONSISTENT},
        {"DES key of 16 bytes", CKM_DES_ECB, Bytes(16, 1), {}, CKR_OK},
        {"3DES key of 15 bytes", CKM_DES3_CBC, Bytes(15, 1), iv8, CKR_KEY_TYPE_INCONSISTENT},
        {"3DES key of 20 bytes", CKM_DES3_CBC, Bytes(20, 1), iv8, CKR_OK},
        {"AES key of 20 bytes", CKM_AES_ECB, Bytes(20, 1), {}, CKR_KEY_TYPE_INCONSISTENT},
        {"AES key of 32 bytes", CKM_AES_ECB, Bytes(32, 1), {}, CKR_OK},
        {"empty AES key", CKM_AES_ECB, {}, {}, CKR_KEY_TYPE_INCONSISTENT},
        {"RC2 key of 129 bytes", CKM_RC2_ECB, Bytes(129, 1), Rc2Params(64), CKR_KEY_TYPE_INCONSISTENT},
        {"empty RC2 key", CKM_RC2_ECB, {}, Rc2Params(64), CKR_KEY_TYPE_INCONSISTENT},
        {"RC4 key of 4 bytes", CKM_RC4, Bytes(4, 1), {}, CKR_KEY_TYPE_INCONSISTENT},
        {"RC4 key of 5 bytes", CKM_RC4, Bytes(5, 1), {}, CKR_OK},
        {"RC4 key of 256 bytes", CKM_RC4, Bytes(256, 1), {}, CKR_OK},
        {"RC4 key of 257 bytes", CKM_RC4, Bytes(257, 1), {}, CKR_KEY_TYPE_INCONSISTENT},
        {"AES-CBC IV of 15 bytes", CKM_AES_CBC, Bytes(16, 1), Bytes(15, 0), CKR_MECHANISM_PARAM_INVALID},
        {"AES-CBC without IV", CKM_AES_CBC_PAD, Bytes(16, 1), {}, CKR_MECHANISM_PARAM_INVALID},
        {"AES-CBC IV of 256 bytes", CKM_AES_CBC, Bytes(16, 1), Bytes(256, 0), CKR_OK},
        {"AES-CBC IV of 257 bytes", CKM_AES_CBC, Bytes(16, 1), Bytes(257, 0), CKR_MECHANISM_PARAM_INVALID},
        {"DES-CBC IV of 7 bytes", CKM_DES_CBC, Bytes(8, 1), Bytes(7, 0), CKR_MECHANISM_PARAM_INVALID},
        {"RC2-ECB parameter of 4 bytes", CKM_RC2_ECB, Bytes(8, 1), Bytes(4, 0), CKR_MECHANISM_PARAM_INVALID},
        {"RC2-ECB without parameter", CKM_RC2_ECB, Bytes(8, 1), {}, CKR_MECHANISM_PARAM_INVALID},
        {"RC2-CBC with an 8-byte parameter", CKM_RC2_CBC, Bytes(8, 1), iv8, CKR_MECHANISM_PARAM_INVALID},
        {"RC2-CBC with 17 bytes", CKM_RC2_CBC_PAD, Bytes(8, 1), Bytes(17, 0), CKR_MECHANISM_PARAM_INVALID},
    };
    for (const Case& c : cases) {
        for (bool encrypt : {true, false}) {
            EXPECT_EQ(Make(c.mech, encrypt, c.key, c.param).rv, c.rv) << c.what;
        }
    }
    // A key of another class.
    CK_ULONG cls = CKO_PUBLIC_KEY, type = CKK_RSA;
    CK_ATTRIBUTE t[] = {{CKA_CLASS, &cls, sizeof cls}, {CKA_KEY_TYPE, &type, sizeof type}};
    CK_MECHANISM m{CKM_AES_ECB, nullptr, 0};
    Alg* alg = nullptr;
    EXPECT_EQ(AlgFactory().CreateEncAlg(&m, ObjFactory::CreateObject(t, 2), &alg), CKR_GENERAL_ERROR);
    delete alg;
}

TEST(SoftCiphers, KeyValuesLongerThanTheKeyUseItsStart) {
    const Bytes block = Hex("8000000000000000");
    // DES: the first 8 of 16 bytes (SP 800-20 key 0101.. then junk).
    EXPECT_EQ(ToHex(OnePart(*Ready(CKM_DES_ECB, true, Hex("0101010101010101FFEEDDCCBBAA9988"), {}), block)),
              "95F8A5E5DD31D900");
    // 3DES: 20 bytes are the two-key key of the first 16.
    const Bytes key20 = Random(20);
    const Bytes key16(key20.begin(), key20.begin() + 16);
    EXPECT_EQ(ToHex(OnePart(*Ready(CKM_DES3_ECB, true, key20, {}), block)),
              ToHex(EvpEncrypt(CKM_DES3_ECB, key16, {}, block, false)));
    // CBC: an IV parameter longer than the block uses its first block.
    const Bytes iv = Hex("000102030405060708090A0B0C0D0E0F"), longIv = Cat(iv, Bytes(40, 0xEE));
    const Bytes key = Random(16), msg = Random(32);
    EXPECT_EQ(ToHex(OnePart(*Ready(CKM_AES_CBC, true, key, longIv), msg)),
              ToHex(EvpEncrypt(CKM_AES_CBC, key, iv, msg, false)));
}

TEST(SoftCiphers, PaddedEncryptionLengths) {
    const Bytes key = Random(24), iv8 = Random(8), msg16 = Random(16);
    // 16 bytes in one part: 24 out, and back.
    Bytes ct = OnePart(*Ready(CKM_DES3_CBC_PAD, true, key, iv8), msg16);
    EXPECT_EQ(ct.size(), 24u);
    EXPECT_EQ(ToHex(OnePart(*Ready(CKM_DES3_CBC_PAD, false, key, iv8), ct)), ToHex(msg16));

    // AES in parts: 16 -> 0, 16 -> 16, Final -> 32.
    auto aes = Ready(CKM_AES_CBC_PAD, true, Random(16), Random(16));
    Bytes out(64);
    for (uint32_t expected : {0u, 16u}) {
        uint32_t len = static_cast<uint32_t>(out.size());
        ASSERT_EQ(aes->Update(msg16.data(), 16, out.data(), &len), CKR_OK);
        EXPECT_EQ(len, expected);
    }
    uint32_t len = 0;
    EXPECT_EQ(aes->Final(nullptr, &len), CKR_OK);
    EXPECT_EQ(len, 32u);
    len = 31;
    EXPECT_EQ(aes->Final(out.data(), &len), RV_BUFFER_TOO_SMALL);
    EXPECT_EQ(len, 32u);
    len = 32;
    EXPECT_EQ(aes->Final(out.data(), &len), CKR_OK);
    EXPECT_EQ(len, 32u);
}

TEST(SoftCiphers, ShortBufferLeavesPaddedEncryptionUnchanged) {
    const Bytes key = Random(16), iv = Random(16), msg = Random(20);
    const Bytes want = EvpEncrypt(CKM_AES_CBC_PAD, key, iv, msg, true);
    auto a = Ready(CKM_AES_CBC_PAD, true, key, iv);
    Bytes out(32);
    uint32_t len = 16;
    EXPECT_EQ(a->Do(msg.data(), 20, out.data(), &len), RV_BUFFER_TOO_SMALL);
    EXPECT_EQ(len, 32u);
    ASSERT_EQ(a->Do(msg.data(), 20, out.data(), &len), CKR_OK);
    EXPECT_EQ(ToHex(out), ToHex(want));
}

TEST(SoftCiphers, BadPaddingIsRefused) {
    const Bytes key = Random(16), iv = Random(16);
    struct Case {
        Bytes lastBlock;
        CK_RV rv;
    } cases[] = {
        {Cat(Bytes(15, 0x41), Hex("00")), CKR_ENCRYPTED_DATA_INVALID},
        {Cat(Bytes(15, 0x41), Hex("11")), CKR_ENCRYPTED_DATA_INVALID},
        {Cat(Bytes(13, 0x41), Hex("030302")), CKR_ENCRYPTED_DATA_INVALID},
        {Cat(Bytes(13, 0x41), Hex("020303")), CKR_ENCRYPTED_DATA_INVALID},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(ToHex(c.lastBlock));
        const Bytes ct = EvpEncrypt(CKM_AES_CBC, key, iv, c.lastBlock, false);
        auto one = Ready(CKM_AES_CBC_PAD, false, key, iv);
        Bytes out(16);
        uint32_t len = 16;
        EXPECT_EQ(one->Do(ct.data(), 16, out.data(), &len), c.rv);
        auto parts = Ready(CKM_AES_CBC_PAD, false, key, iv);
        EXPECT_EQ(parts->Update(ct.data(), 16, out.data(), &len), CKR_OK);
        EXPECT_EQ(len, 0u);  // the padding block is held back
        len = 16;
        EXPECT_EQ(parts->Final(out.data(), &len), c.rv);
    }
    // Nothing queued: no padding block at all.
    auto empty = Ready(CKM_AES_CBC_PAD, false, key, iv);
    Bytes out(16);
    uint32_t len = 16;
    EXPECT_EQ(empty->Final(out.data(), &len), CKR_ARGUMENTS_BAD);
}

TEST(SoftCiphers, Rc4KeyStreamFurtherOn) {
    // RFC 6229, 40-bit key, offsets 240 and 256, reached in parts.
    const Bytes zeros(272, 0);
    const Bytes stream = InParts(*Ready(CKM_RC4, true, Hex("0102030405"), {}), zeros);
    ASSERT_EQ(stream.size(), 272u);
    EXPECT_EQ(ToHex(Bytes(stream.begin() + 240, stream.end())),
              "28CB1132C96CE286421DCAADB8B69EAE1CFCF62B03EDDB641D77DFCF7F8D8C93");
}

TEST(SoftCiphers, Rc4UpdateReturnsEveryByte) {
    auto rc4 = Ready(CKM_RC4, true, Hex("0102030405"), {});
    const Bytes zeros(3, 0);
    Bytes out(3);
    uint32_t len = 3;
    ASSERT_EQ(rc4->Update(zeros.data(), 3, out.data(), &len), CKR_OK);
    EXPECT_EQ(len, 3u);
    EXPECT_EQ(ToHex(out), "B23963");  // RFC 6229, 40-bit key, offset 0
    len = 9;
    EXPECT_EQ(rc4->Final(out.data(), &len), CKR_OK);
    EXPECT_EQ(len, 0u);
}

TEST(SoftCiphers, EveryClassIsRegisteredForItsFunction) {
    const CK_MECHANISM_TYPE mechs[] = {CKM_DES_ECB,  CKM_DES_CBC,  CKM_DES_CBC_PAD, CKM_DES3_ECB, CKM_DES3_CBC,
                                       CKM_DES3_CBC_PAD, CKM_AES_ECB, CKM_AES_CBC, CKM_AES_CBC_PAD, CKM_RC2_ECB,
                                       CKM_RC2_CBC, CKM_RC2_CBC_PAD, CKM_RC4};
    auto& creators = AlgFactory::GetSoftCreators();
    for (CK_MECHANISM_TYPE m : mechs) {
        for (KV_MECH_FUNC_E f : {MECH_FUNC_ENCRYPT, MECH_FUNC_DECRYPT}) {
            auto it = creators.find({m, f});
            ASSERT_NE(it, creators.end()) << std::hex << m << " " << f;
            std::unique_ptr<Alg> alg(it->second());
            EXPECT_EQ(alg->GetFunc(), f);
        }
    }
}

}  // namespace
