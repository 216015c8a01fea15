// Software mechanisms that token keys use under their token-registry names:
// each is the software class itself, so it behaves exactly like it.
#ifndef KV_MECH_HARD_HARD_ALIASES_H
#define KV_MECH_HARD_HARD_ALIASES_H

#include "cipher_soft.h"
#include "dh_soft.h"
#include "ecdsa_soft.h"
#include "hmac_soft.h"
#include "keygen_soft.h"
#include "rsa_pub_soft.h"
#include "wrap_soft.h"

using RSAPKCSPubHardEncrypt = RSAPKCSPubSoftEncrypt;
using RSAPKCSPubHardVerify = RSAPKCSPubSoftVerify;
using RSAPKCSPubHardVerifyRecover = RSAPKCSPubSoftVerifyRecover;
using RSAX509PubHardEncrypt = RSAX509PubSoftEncrypt;
using RSAX509PubHardVerify = RSAX509PubSoftVerify;
using RSAMD2PubHardVerify = RSAMD2PubSoftVerify;
using RSAMD5PubHardVerify = RSAMD5PubSoftVerify;
using RSASHA1PubHardVerify = RSASHA1PubSoftVerify;
using RSASHA224PubHardVerify = RSASHA224PubSoftVerify;
using RSASHA256PubHardVerify = RSASHA256PubSoftVerify;
using RSASHA384PubHardVerify = RSASHA384PubSoftVerify;
using RSASHA512PubHardVerify = RSASHA512PubSoftVerify;
using ECCECDSAPubHardVerify = ECCECDSAPubSoftVerify;
using ECCECDSASHA1PubHardVerify = ECCECDSASHA1PubSoftVerify;
using RC2ECBHardEnc = RC2ECBSoftEnc;
using RC2ECBHardDec = RC2ECBSoftDec;
using RC2CBCHardEnc = RC2CBCSoftEnc;
using RC2CBCHardDec = RC2CBCSoftDec;
using RC2CBCPADHardEnc = RC2CBCPADSoftEnc;
using RC2CBCPADHardDec = RC2CBCPADSoftDec;
using RC4HardEnc = RC4SoftEnc;
using RC4HardDec = RC4SoftDec;
using GenerateKeyPairDHHard = GenerateKeyPairDHSoft;
using GenerateKeyRC2Hard = GenerateKeyRC2Soft;
using GenerateKeyRC4Hard = GenerateKeyRC4Soft;
using GenerateKeyGenericHard = GenerateKeyGenericSoft;
using WrapSecKeyWithRSAPubHard = WrapSecKeyWithRSAPubSoft;
using UnwrapKeyHard = UnwrapKey;
// HMAC-SHA-1 with a token key is computed in the library.
using SHA1HmacSignHard = SHA1HmacSignSoft;

#endif
