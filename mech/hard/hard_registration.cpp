#include "hard_registration.h"

#include <type_traits>

#include "cipher_hard.h"
#include "ecc_prv_hard.h"
#include "hard_aliases.h"
#include "import_hard.h"
#include "keygen_hard.h"
#include "keypair_hard.h"
#include "rsa_prv_hard.h"

namespace {

// The creator of a class: token-backed classes keep the token, software
// classes take none.
template <class T>
Alg* CreateHard(IToken* token) {
    if constexpr (std::is_constructible<T, IToken*>::value) {
        return new T(token);
    } else {
        return new T();
    }
}

struct HardEntry {
    CK_MECHANISM_TYPE mechanism;
    HardCreator creator;
};

// Digest mechanisms have no entry: digests are always computed in the library.
const HardEntry kHardEntries[] = {
    {CKM_RSA_PKCS_KEY_PAIR_GEN, &CreateHard<GenerateKeyPairRSAHard>},
    {CKM_RSA_PKCS, &CreateHard<RSAPKCSPrvHardDecrypt>},
    {CKM_RSA_PKCS, &CreateHard<RSAPKCSPrvHardSign>},
    {CKM_RSA_PKCS, &CreateHard<RSAPKCSPubHardEncrypt>},
    {CKM_RSA_PKCS, &CreateHard<RSAPKCSPubHardVerify>},
    {CKM_RSA_PKCS, &CreateHard<RSAPKCSPubHardVerifyRecover>},
    {CKM_RSA_PKCS, &CreateHard<WrapSecKeyWithRSAPubHard>},
    {CKM_RSA_PKCS, &CreateHard<UnwrapKeyHard>},
    {CKM_RSA_X_509, &CreateHard<RSAX509PrvHardDecrypt>},
    {CKM_RSA_X_509, &CreateHard<RSAX509PrvHardSign>},
    {CKM_RSA_X_509, &CreateHard<RSAX509PubHardEncrypt>},
    {CKM_RSA_X_509, &CreateHard<RSAX509PubHardVerify>},
    {CKM_RSA_X_509, &CreateHard<WrapSecKeyWithRSAPubHard>},
    {CKM_RSA_X_509, &CreateHard<UnwrapKeyHard>},
    {CKM_MD2_RSA_PKCS, &CreateHard<RSAMD2PrvHardSign>},
    {CKM_MD2_RSA_PKCS, &CreateHard<RSAMD2PubHardVerify>},
    {CKM_MD5_RSA_PKCS, &CreateHard<RSAMD5PrvHardSign>},
    {CKM_MD5_RSA_PKCS, &CreateHard<RSAMD5PubHardVerify>},
    {CKM_SHA1_RSA_PKCS, &CreateHard<RSASHA1PrvHardSign>},
    {CKM_SHA1_RSA_PKCS, &CreateHard<RSASHA1PubHardVerify>},
    {CKM_SHA256_RSA_PKCS, &CreateHard<RSASHA256PrvHardSign>},
    {CKM_SHA256_RSA_PKCS, &CreateHard<RSASHA256PubHardVerify>},
    {CKM_SHA384_RSA_PKCS, &CreateHard<RSASHA384PrvHardSign>},
    {CKM_SHA384_RSA_PKCS, &CreateHard<RSASHA384PubHardVerify>},
    {CKM_SHA512_RSA_PKCS, &CreateHard<RSASHA512PrvHardSign>},
    {CKM_SHA512_RSA_PKCS, &CreateHard<RSASHA512PubHardVerify>},
    {CKM_SHA224_RSA_PKCS, &CreateHard<RSASHA224PrvHardSign>},
    {CKM_SHA224_RSA_PKCS, &CreateHard<RSASHA224PubHardVerify>},
    {CKM_DH_PKCS_KEY_PAIR_GEN, &CreateHard<GenerateKeyPairDHHard>},
    {CKM_RC2_KEY_GEN, &CreateHard<GenerateKeyRC2Hard>},
    {CKM_RC4_KEY_GEN, &CreateHard<GenerateKeyRC4Hard>},
    {CKM_GENERIC_SECRET_KEY_GEN, &CreateHard<GenerateKeyGenericHard>},
    {CKM_RC2_ECB, &CreateHard<RC2ECBHardEnc>},
    {CKM_RC2_ECB, &CreateHard<RC2ECBHardDec>},
    {CKM_RC2_CBC, &CreateHard<RC2CBCHardEnc>},
    {CKM_RC2_CBC, &CreateHard<RC2CBCHardDec>},
    {CKM_RC2_CBC_PAD, &CreateHard<RC2CBCPADHardEnc>},
    {CKM_RC2_CBC_PAD, &CreateHard<RC2CBCPADHardDec>},
    {CKM_RC4, &CreateHard<RC4HardEnc>},
    {CKM_RC4, &CreateHard<RC4HardDec>},
    {CKM_DES_KEY_GEN, &CreateHard<GenerateKeyDESHard>},
    {CKM_DES3_KEY_GEN, &CreateHard<GenerateKeyDES3Hard>},
    {CKM_AES_KEY_GEN, &CreateHard<GenerateKeyAESHard>},
    {CKM_DES_ECB, &CreateHard<DESECBHardEnc>},
    {CKM_DES_ECB, &CreateHard<DESECBHardDec>},
    {CKM_DES3_ECB, &CreateHard<DESECBHardEnc>},
    {CKM_DES3_ECB, &CreateHard<DESECBHardDec>},
    {CKM_DES_CBC, &CreateHard<DESCBCHardEnc>},
    {CKM_DES_CBC, &CreateHard<DESCBCHardDec>},
    {CKM_DES3_CBC, &CreateHard<DESCBCHardEnc>},
    {CKM_DES3_CBC, &CreateHard<DESCBCHardDec>},
    {CKM_DES_CBC_PAD, &CreateHard<DESCBCPADHardEnc>},
    {CKM_DES_CBC_PAD, &CreateHard<DESCBCPADHardDec>},
    {CKM_DES3_CBC_PAD, &CreateHard<DESCBCPADHardEnc>},
    {CKM_DES3_CBC_PAD, &CreateHard<DESCBCPADHardDec>},
    {CKM_AES_ECB, &CreateHard<AESECBHardEnc>},
    {CKM_AES_ECB, &CreateHard<AESECBHardDec>},
    {CKM_AES_CBC, &CreateHard<AESCBCHardEnc>},
    {CKM_AES_CBC, &CreateHard<AESCBCHardDec>},
    {CKM_AES_CBC_PAD, &CreateHard<AESCBCPADHardEnc>},
    {CKM_AES_CBC_PAD, &CreateHard<AESCBCPADHardDec>},
    {CKM_SHA_1_HMAC, &CreateHard<SHA1HmacSignHard>},
    {CKM_EC_KEY_PAIR_GEN, &CreateHard<GenerateKeyPairECCHard>},
    {CKM_ECDSA, &CreateHard<ECCECDSAPrvHardSign>},
    {CKM_ECDSA, &CreateHard<ECCECDSAPubHardVerify>},
    {CKM_ECDSA_SHA1, &CreateHard<ECCECDSASHA1PrvHardSign>},
    {CKM_ECDSA_SHA1, &CreateHard<ECCECDSASHA1PubHardVerify>},
    {CKM_VENDOR_IMPORT_KEY, &CreateHard<ImportKeyHard>},
};

}  // namespace

RV RegHardAlg(AlgFactory& factory) {
    for (const HardEntry& e : kHardEntries) factory.RegisterHardAlg(e.mechanism, e.creator);
    return 0;
}
