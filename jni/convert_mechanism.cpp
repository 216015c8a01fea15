#include "convert_mechanism.h"

#include <algorithm>
#include <string>

#include "array_copy.h"
#include "ck_params.h"
#include "convert_basic.h"
#include "java_exceptions.h"

namespace {

constexpr const char* kPackage = "iaik/pkcs/pkcs11/wrapper/";
constexpr const char* kRandomSig = "Liaik/pkcs/pkcs11/wrapper/CK_SSL3_RANDOM_DATA;";
constexpr const char* kVersionSig = "Liaik/pkcs/pkcs11/wrapper/CK_VERSION;";
constexpr const char* kKeyMatOutSig = "Liaik/pkcs/pkcs11/wrapper/CK_SSL3_KEY_MAT_OUT;";

// The room for the IV a PBE key generation writes (8 bytes for every PBE
// mechanism of PKCS#11 v2.20; a 16-byte block to spare).
constexpr size_t kPbeIvRoom = 16;
// The longest IV key and MAC derivation may ask for: no cipher block is
// longer than 256 bits.
constexpr CK_ULONG kMaxIvBits = 256;

// Reads the fields of one Java parameter object into a native structure;
// the first failure sticks (a Java exception is then pending).
class ParamReader {
public:
    ParamReader(JNIEnv* env, jobject obj, CkMechanism& mechanism)
        : env_(env), obj_(obj), reader_(env, obj), mech_(mechanism) {}

    bool ok() const { return ok_; }
    JNIEnv* env() const { return env_; }
    jobject object() const { return obj_; }
    CkMechanism& mechanism() { return mech_; }

    ParamReader& ULong(const char* name, CK_ULONG& out) {
        jlong v = 0;
        if (ok_ && (ok_ = reader_.Long(name, v))) out = static_cast<CK_ULONG>(v);
        return *this;
    }
    ParamReader& Bool(const char* name, CK_BBOOL& out) {
        jboolean v = JNI_FALSE;
        if (ok_ && (ok_ = reader_.Boolean(name, v))) out = v == 1 ? CK_TRUE : CK_FALSE;
        return *this;
    }
    ParamReader& Byte(const char* name, CK_BYTE& out) {
        jbyte v = 0;
        if (ok_ && (ok_ = reader_.Byte(name, v))) out = static_cast<CK_BYTE>(v);
        return *this;
    }
    // A byte[] field copied; its length into `length`.
    template <typename P>
    ParamReader& Bytes(const char* name, P& out, CK_ULONG& length) {
        CK_BYTE_PTR p = nullptr;
        if (!Object(name, "[B", [&](jobject a) {
                return jByteArrayToCKByteArray(env_, static_cast<jbyteArray>(a), mech_.arena, &p, &length) == 0;
            }))
            return *this;
        out = p;
        return *this;
    }
    // A char[] field narrowed to bytes; its length into `length`. The
    // buffer has room for at least `minimum` bytes, its size into `capacity`.
    ParamReader& Chars(const char* name, CK_BYTE_PTR& out, CK_ULONG& length, CK_ULONG minimum, CK_ULONG& capacity) {
        Object(name, "[C", [&](jobject a) {
            auto array = static_cast<jcharArray>(a);
            const size_t n = arraycopy::Length(env_, array);
            const size_t room = std::max<size_t>(n, minimum);
            auto* buffer = mech_.arena.New<CK_BYTE>(env_, room);
            if (!buffer || !arraycopy::FromJava(env_, array, n, buffer, room)) return false;
            out = buffer;
            length = static_cast<CK_ULONG>(n);
            capacity = static_cast<CK_ULONG>(room);
            return true;
        });
        return *this;
    }
    ParamReader& Chars(const char* name, CK_BYTE_PTR& out, CK_ULONG& length) {
        CK_ULONG capacity = 0;
        return Chars(name, out, length, 0, capacity);
    }
    // A byte[] field that fills a fixed-width array; another length is refused.
    ParamReader& Fixed(const char* name, CK_BYTE* field, CK_ULONG width) {
        bool present = false;
        Object(name, "[B", [&](jobject a) {
            auto array = static_cast<jbyteArray>(a);
            present = true;
            if (arraycopy::Length(env_, array) != width) return false;
            return arraycopy::FromJava(env_, array, width, field, width);
        });
        if (!Pending(env_) && (!ok_ || !present)) {
            ok_ = false;
            ckAssertReturnValueOK(env_, CKR_MECHANISM_PARAM_INVALID);
        }
        return *this;
    }
    // A buffer the module reads for `needed` bytes, as one length member
    // tells it for two buffers, must hold them; otherwise the parameter is
    // refused.
    ParamReader& Covers(CK_ULONG length, CK_ULONG needed) {
        if (ok_ && length < needed) {
            ok_ = false;
            ckAssertReturnValueOK(env_, CKR_MECHANISM_PARAM_INVALID);
        }
        return *this;
    }
    ParamReader& Version(const char* name, CK_VERSION_PTR& out) {
        Object(name, kVersionSig, [&](jobject v) {
            out = jVersionToCKVersionPtr(env_, v, mech_.arena);
            return out != nullptr;
        });
        return *this;
    }
    ParamReader& Random(const char* name, ckp::CK_SSL3_RANDOM_DATA& out) {
        Object(name, kRandomSig, [&](jobject v) {
            ParamReader inner(env_, v, mech_);
            inner.Bytes("pClientRandom", out.pClientRandom, out.ulClientRandomLen)
                .Bytes("pServerRandom", out.pServerRandom, out.ulServerRandomLen);
            return inner.ok();
        });
        return *this;
    }
    // The key material a module returns: four handles and two IVs of
    // `ivBits` bits each. The module writes as many IV bytes as the
    // parameters say, so each IV buffer has exactly that size (rounded up to
    // whole bytes) whatever the Java arrays hold: they are outputs only, and
    // are replaced by new arrays on the way back. An IV longer than any
    // cipher block is refused.
    ParamReader& KeyMatOut(const char* name, CK_ULONG ivBits, ckp::CK_SSL3_KEY_MAT_OUT*& out) {
        Object(name, kKeyMatOutSig, [&](jobject v) {
            if (ivBits > kMaxIvBits) {
                ckAssertReturnValueOK(env_, CKR_MECHANISM_PARAM_INVALID);
                return false;
            }
            const CK_ULONG ivBytes = (ivBits + 7) / 8;
            auto* keyMat = mech_.arena.New<ckp::CK_SSL3_KEY_MAT_OUT>(env_);
            if (!keyMat) return false;
            if (ivBytes) {
                keyMat->pIVClient = mech_.arena.New<CK_BYTE>(env_, ivBytes);
                keyMat->pIVServer = mech_.arena.New<CK_BYTE>(env_, ivBytes);
                if (!keyMat->pIVClient || !keyMat->pIVServer) return false;
            }
            mech_.returnCapacity[0] = mech_.returnCapacity[1] = ivBytes;
            ParamReader inner(env_, v, mech_);
            inner.ULong("hClientMacSecret", keyMat->hClientMacSecret)
                .ULong("hServerMacSecret", keyMat->hServerMacSecret)
                .ULong("hClientKey", keyMat->hClientKey)
                .ULong("hServerKey", keyMat->hServerKey);
            out = keyMat;
            return inner.ok();
        });
        return *this;
    }

private:
    // Reads an object field; a null one is left alone, another goes to `use`.
    template <typename Use>
    bool Object(const char* name, const char* sig, Use use) {
        if (!ok_) return false;
        jobject raw = nullptr;
        if (!(ok_ = reader_.Object(name, sig, raw))) return false;
        LocalRef<jobject> value(env_, raw);
        if (value) ok_ = use(value.get());
        return ok_;
    }

    JNIEnv* env_;
    jobject obj_;
    FieldReader reader_;
    CkMechanism& mech_;
    bool ok_ = true;
};

// Allocates the structure S, lets `fill` read it and makes it the parameter.
template <typename S, typename Fill>
bool Build(ParamReader& r, Fill fill) {
    CkMechanism& m = r.mechanism();
    auto* s = m.arena.New<S>(r.env());
    if (!s) return false;
    fill(r, *s);
    if (!r.ok()) return false;
    m.mechanism.pParameter = s;
    m.mechanism.ulParameterLen = sizeof(S);
    return true;
}

// Field groups that several structures share under the same names, each
// read in the order of its structure.
template <typename S>
void EcdhDerive(ParamReader& p, S& s) {
    p.ULong("kdf", s.kdf)
        .Bytes("pSharedData", s.pSharedData, s.ulSharedDataLen)
        .Bytes("pPublicData", s.pPublicData, s.ulPublicDataLen);
}
// The second private key and public value of the two-key forms.
template <typename S>
void SecondKeyPair(ParamReader& p, S& s) {
    p.ULong("ulPrivateDataLen", s.ulPrivateDataLen)
        .ULong("hPrivateData", s.hPrivateData)
        .Bytes("pPublicData2", s.pPublicData2, s.ulPublicDataLen2);
}
// DES and AES differ only in the width of the IV.
template <typename S>
void CbcEncryptData(ParamReader& p, S& s) {
    p.Fixed("iv", s.iv, sizeof s.iv).Bytes("pData", s.pData, s.length);
}
// X9.42 names the KDF's input "other info" where ECDH has "shared data".
template <typename S>
void X942Derive(ParamReader& p, S& s) {
    p.ULong("kdf", s.kdf)
        .Bytes("pOtherInfo", s.pOtherInfo, s.ulOtherInfoLen)
        .Bytes("pPublicData", s.pPublicData, s.ulPublicDataLen);
}

// Builds the structure S from the field groups, read one after another.
template <typename S, void (*... Groups)(ParamReader&, S&)>
bool Struct(ParamReader& r) {
    return Build<S>(r, [](ParamReader& p, S& s) { (Groups(p, s), ...); });
}

using Filler = bool (*)(ParamReader&);

struct ParamClass {
    const char* name;  // in the wrapper's package
    ParamKind kind;
    Filler fill;
};

// The parameter classes with a structure of their own, in the order tried.
const ParamClass kParamClasses[] = {
    {"CK_VERSION", ParamKind::Version,
     [](ParamReader& r) {
         CkMechanism& m = r.mechanism();
         CK_VERSION_PTR v = jVersionToCKVersionPtr(r.env(), r.object(), m.arena);
         if (!v) return false;
         m.mechanism.pParameter = v;
         m.mechanism.ulParameterLen = sizeof(CK_VERSION);
         return true;
     }},
    {"CK_RSA_PKCS_OAEP_PARAMS", ParamKind::RsaOaep,
     [](ParamReader& r) {
         return Build<CK_RSA_PKCS_OAEP_PARAMS>(r, [](ParamReader& p, CK_RSA_PKCS_OAEP_PARAMS& s) {
             p.ULong("hashAlg", s.hashAlg)
                 .ULong("mgf", s.mgf)
                 .ULong("source", s.source)
                 .Bytes("pSourceData", s.pSourceData, s.ulSourceDataLen);
         });
     }},
    {"CK_KEA_DERIVE_PARAMS", ParamKind::KeaDerive,
     [](ParamReader& r) {
         return Build<ckp::CK_KEA_DERIVE_PARAMS>(r, [](ParamReader& p, ckp::CK_KEA_DERIVE_PARAMS& s) {
             // ulRandomLen, the length of pRandomB, is read from pRandomA too.
             CK_ULONG lengthA = 0;
             p.Bool("isSender", s.isSender)
                 .Bytes("pRandomA", s.pRandomA, lengthA)
                 .Bytes("pRandomB", s.pRandomB, s.ulRandomLen)
                 .Bytes("pPublicData", s.pPublicData, s.ulPublicDataLen)
                 .Covers(lengthA, s.ulRandomLen);
         });
     }},
    {"CK_RC2_CBC_PARAMS", ParamKind::Rc2Cbc,
     [](ParamReader& r) {
         return Build<CK_RC2_CBC_PARAMS>(r, [](ParamReader& p, CK_RC2_CBC_PARAMS& s) {
             p.ULong("ulEffectiveBits", s.ulEffectiveBits).Fixed("iv", s.iv, sizeof s.iv);
         });
     }},
    {"CK_RC2_MAC_GENERAL_PARAMS", ParamKind::Rc2MacGeneral,
     [](ParamReader& r) {
         return Build<ckp::CK_RC2_MAC_GENERAL_PARAMS>(r, [](ParamReader& p, ckp::CK_RC2_MAC_GENERAL_PARAMS& s) {
             p.ULong("ulEffectiveBits", s.ulEffectiveBits).ULong("ulMacLength", s.ulMacLength);
         });
     }},
    {"CK_RC5_PARAMS", ParamKind::Rc5,
     [](ParamReader& r) {
         return Build<ckp::CK_RC5_PARAMS>(r, [](ParamReader& p, ckp::CK_RC5_PARAMS& s) {
             p.ULong("ulWordsize", s.ulWordsize).ULong("ulRounds", s.ulRounds);
         });
     }},
    {"CK_RC5_CBC_PARAMS", ParamKind::Rc5Cbc,
     [](ParamReader& r) {
         return Build<ckp::CK_RC5_CBC_PARAMS>(r, [](ParamReader& p, ckp::CK_RC5_CBC_PARAMS& s) {
             p.ULong("ulWordsize", s.ulWordsize).ULong("ulRounds", s.ulRounds).Bytes("pIv", s.pIv, s.ulIvLen);
         });
     }},
    {"CK_RC5_MAC_GENERAL_PARAMS", ParamKind::Rc5MacGeneral,
     [](ParamReader& r) {
         return Build<ckp::CK_RC5_MAC_GENERAL_PARAMS>(r, [](ParamReader& p, ckp::CK_RC5_MAC_GENERAL_PARAMS& s) {
             p.ULong("ulWordsize", s.ulWordsize).ULong("ulRounds", s.ulRounds).ULong("ulMacLength", s.ulMacLength);
         });
     }},
    {"CK_SKIPJACK_PRIVATE_WRAP_PARAMS", ParamKind::SkipjackPrivateWrap,
     [](ParamReader& r) {
         return Build<ckp::CK_SKIPJACK_PRIVATE_WRAP_PARAMS>(
             r, [](ParamReader& p, ckp::CK_SKIPJACK_PRIVATE_WRAP_PARAMS& s) {
                 // ulPAndGLen, the length of pBaseG, is read from pPrimeP too.
                 CK_ULONG primeLength = 0;
                 p.Bytes("pPassword", s.pPassword, s.ulPasswordLen)
                     .Bytes("pPublicData", s.pPublicData, s.ulPublicDataLen)
                     .Bytes("pRandomA", s.pRandomA, s.ulRandomLen)
                     .Bytes("pPrimeP", s.pPrimeP, primeLength)
                     .Bytes("pBaseG", s.pBaseG, s.ulPAndGLen)
                     .Bytes("pSubprimeQ", s.pSubprimeQ, s.ulQLen)
                     .Covers(primeLength, s.ulPAndGLen);
             });
     }},
    {"CK_SKIPJACK_RELAYX_PARAMS", ParamKind::SkipjackRelayx,
     [](ParamReader& r) {
         return Build<ckp::CK_SKIPJACK_RELAYX_PARAMS>(r, [](ParamReader& p, ckp::CK_SKIPJACK_RELAYX_PARAMS& s) {
             p.Bytes("pOldWrappedX", s.pOldWrappedX, s.ulOldWrappedXLen)
                 .Bytes("pOldPassword", s.pOldPassword, s.ulOldPasswordLen)
                 .Bytes("pOldPublicData", s.pOldPublicData, s.ulOldPublicDataLen)
                 .Bytes("pOldRandomA", s.pOldRandomA, s.ulOldRandomLen)
                 .Bytes("pNewPassword", s.pNewPassword, s.ulNewPasswordLen)
                 .Bytes("pNewPublicData", s.pNewPublicData, s.ulNewPublicDataLen)
                 .Bytes("pNewRandomA", s.pNewRandomA, s.ulNewRandomLen);
         });
     }},
    {"CK_PBE_PARAMS", ParamKind::Pbe,
     [](ParamReader& r) {
         return Build<ckp::CK_PBE_PARAMS>(r, [](ParamReader& p, ckp::CK_PBE_PARAMS& s) {
             // The module writes the generated IV here: room for a whole
             // block, whatever the length of the Java array.
             CK_ULONG ivLength = 0;
             p.Chars("pInitVector", s.pInitVector, ivLength, kPbeIvRoom, p.mechanism().returnCapacity[0])
                 .Chars("pPassword", s.pPassword, s.ulPasswordLen)
                 .Chars("pSalt", s.pSalt, s.ulSaltLen)
                 .ULong("ulIteration", s.ulIteration);
         });
     }},
    {"CK_PKCS5_PBKD2_PARAMS", ParamKind::Pbkd2,
     [](ParamReader& r) {
         return Build<ckp::CK_PKCS5_PBKD2_PARAMS>(r, [](ParamReader& p, ckp::CK_PKCS5_PBKD2_PARAMS& s) {
             p.ULong("saltSource", s.saltSource)
                 .Bytes("pSaltSourceData", s.pSaltSourceData, s.ulSaltSourceDataLen)
                 .ULong("iterations", s.iterations)
                 .ULong("prf", s.prf)
                 .Bytes("pPrfData", s.pPrfData, s.ulPrfDataLen);
         });
     }},
    {"CK_KEY_DERIVATION_STRING_DATA", ParamKind::KeyDerivationString,
     [](ParamReader& r) {
         return Build<CK_KEY_DERIVATION_STRING_DATA>(
             r, [](ParamReader& p, CK_KEY_DERIVATION_STRING_DATA& s) { p.Bytes("pData", s.pData, s.ulLen); });
     }},
    {"CK_KEY_WRAP_SET_OAEP_PARAMS", ParamKind::KeyWrapSetOaep,
     [](ParamReader& r) {
         return Build<ckp::CK_KEY_WRAP_SET_OAEP_PARAMS>(r, [](ParamReader& p, ckp::CK_KEY_WRAP_SET_OAEP_PARAMS& s) {
             p.Byte("bBC", s.bBC).Bytes("pX", s.pX, s.ulXLen);
             p.mechanism().returnCapacity[0] = s.ulXLen;
         });
     }},
    {"CK_SSL3_MASTER_KEY_DERIVE_PARAMS", ParamKind::Ssl3MasterKeyDerive,
     [](ParamReader& r) {
         return Build<ckp::CK_SSL3_MASTER_KEY_DERIVE_PARAMS>(
             r, [](ParamReader& p, ckp::CK_SSL3_MASTER_KEY_DERIVE_PARAMS& s) {
                 p.Random("RandomInfo", s.RandomInfo).Version("pVersion", s.pVersion);
             });
     }},
    {"CK_SSL3_KEY_MAT_PARAMS", ParamKind::Ssl3KeyMat,
     [](ParamReader& r) {
         return Build<ckp::CK_SSL3_KEY_MAT_PARAMS>(r, [](ParamReader& p, ckp::CK_SSL3_KEY_MAT_PARAMS& s) {
             p.ULong("ulMacSizeInBits", s.ulMacSizeInBits)
                 .ULong("ulKeySizeInBits", s.ulKeySizeInBits)
                 .ULong("ulIVSizeInBits", s.ulIVSizeInBits)
                 .Bool("bIsExport", s.bIsExport)
                 .Random("RandomInfo", s.RandomInfo);
             p.KeyMatOut("pReturnedKeyMaterial", s.ulIVSizeInBits, s.pReturnedKeyMaterial);
         });
     }},
    {"CK_RSA_PKCS_PSS_PARAMS", ParamKind::RsaPss,
     [](ParamReader& r) {
         return Build<ckp::CK_RSA_PKCS_PSS_PARAMS>(r, [](ParamReader& p, ckp::CK_RSA_PKCS_PSS_PARAMS& s) {
             p.ULong("hashAlg", s.hashAlg).ULong("mgf", s.mgf).ULong("sLen", s.sLen);
         });
     }},
    {"CK_ECDH1_DERIVE_PARAMS", ParamKind::Ecdh1Derive, Struct<CK_ECDH1_DERIVE_PARAMS, EcdhDerive>},
    {"CK_ECDH2_DERIVE_PARAMS", ParamKind::Ecdh2Derive, Struct<ckp::CK_ECDH2_DERIVE_PARAMS, EcdhDerive, SecondKeyPair>},
    {"CK_X9_42_DH1_DERIVE_PARAMS", ParamKind::X942Dh1Derive, Struct<ckp::CK_X9_42_DH1_DERIVE_PARAMS, X942Derive>},
    {"CK_X9_42_DH2_DERIVE_PARAMS", ParamKind::X942Dh2Derive,
     Struct<ckp::CK_X9_42_DH2_DERIVE_PARAMS, X942Derive, SecondKeyPair>},
    {"CK_DES_CBC_ENCRYPT_DATA_PARAMS", ParamKind::DesCbcEncryptData,
     Struct<ckp::CK_DES_CBC_ENCRYPT_DATA_PARAMS, CbcEncryptData>},
    {"CK_AES_CBC_ENCRYPT_DATA_PARAMS", ParamKind::AesCbcEncryptData,
     Struct<ckp::CK_AES_CBC_ENCRYPT_DATA_PARAMS, CbcEncryptData>},
};

}  // namespace

int jMechanismParameterToCKMechanismParameter(JNIEnv* env, jobject jParam, CkMechanism& out) {
    out.kind = ParamKind::None;
    out.mechanism.pParameter = nullptr;
    out.mechanism.ulParameterLen = 0;
    if (!jParam) return 0;
    // byte[] and Long come first; the structures next; the generic
    // conversion takes every other class.
    int first = IsInstance(env, jParam, "[B");
    if (first == 0) first = IsInstance(env, jParam, "java/lang/Long");
    if (first < 0) return 1;
    if (first == 0) {
        for (const ParamClass& candidate : kParamClasses) {
            std::string name = std::string(kPackage) + candidate.name;
            int is = IsInstance(env, jParam, name.c_str());
            if (is < 0) return 1;
            if (is == 0) continue;
            out.kind = candidate.kind;
            ParamReader reader(env, jParam, out);
            if (candidate.fill(reader)) return 0;
            out.mechanism.pParameter = nullptr;
            out.mechanism.ulParameterLen = 0;
            return 1;
        }
    }
    out.kind = ParamKind::Primitive;
    return jObjectToPrimitiveCKObjectPtrPtr(env, jParam, out.arena, &out.mechanism.pParameter,
                                            &out.mechanism.ulParameterLen);
}

int jMechanismToCKMechanism(JNIEnv* env, jobject jMechanism, CkMechanism& out) {
    if (!jMechanism) {
        ThrowRuntime(env, "The mechanism is null.");
        return 1;
    }
    jlong type = 0;
    jobject raw = nullptr;
    if (!ReadTypeAndValue(env, jMechanism, "mechanism", type, "pParameter", raw)) return 1;
    LocalRef<jobject> parameter(env, raw);
    out.mechanism.mechanism = static_cast<CK_MECHANISM_TYPE>(type);
    return jMechanismParameterToCKMechanismParameter(env, parameter.get(), out);
}

int makeCKInitArgsAdapter(JNIEnv* env, jobject jInitArgs, NativeArena& arena, CK_C_INITIALIZE_ARGS** out) {
    *out = nullptr;
    if (!jInitArgs) return 0;
    auto* args = arena.New<CK_C_INITIALIZE_ARGS>(env);
    if (!args) return 1;
    jlong flags = 0;
    jobject raw = nullptr;
    if (!ReadTypeAndValue(env, jInitArgs, "flags", flags, "pReserved", raw)) return 1;
    LocalRef<jobject> reserved(env, raw);
    args->flags = static_cast<CK_FLAGS>(flags);
    CK_ULONG ignored = 0;
    if (jObjectToPrimitiveCKObjectPtrPtr(env, reserved.get(), arena, &args->pReserved, &ignored) != 0) return 1;
    *out = args;
    return 0;
}
