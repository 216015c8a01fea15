// The calls that feed a running cryptographic operation, and what each
// mechanism result does to the operation.
#include <algorithm>
#include <limits>

#include "result_codes.h"
#include "session_crypto.h"
#include "session_slot.h"

using Kind = CSessionBase::OpKind;

namespace {

// What a call checks of the session before the mechanism runs.
enum class Check {
    None,
    Context,          // a context login the key asks for
    StateAndContext,  // also: no security officer, no public session for a token key
};

CK_RV CheckCaller(CSessionBase& s, Check check) {
    if (check == Check::None) return CKR_OK;
    if (check == Check::StateAndContext) {
        CK_SESSION_INFO info;
        const CK_RV rv = s.GetSessionInfo(&info);
        if (rv) return rv;
        if (info.state == CKS_RW_SO_FUNCTIONS) return CKR_USER_TYPE_INVALID;
        const bool publicState = info.state == CKS_RO_PUBLIC_SESSION || info.state == CKS_RW_PUBLIC_SESSION;
        if (publicState && s.tokenKeyInUse) return CKR_SESSION_HANDLE_INVALID;
    }
    return s.contextLoginRequired && !s.contextLoginDone ? CKR_USER_NOT_LOGGED_IN : CKR_OK;
}

// The caller's CK_ULONG output length as the mechanisms' 32-bit one; a
// buffer larger than 4 GiB serves as one of 4 GiB - 1. The needed or
// produced length goes back on success and on a short buffer.
class OutLength {
public:
    explicit OutLength(CK_ULONG_PTR caller)
        : caller_(caller),
          value_(static_cast<uint32_t>(std::min<CK_ULONG>(*caller, std::numeric_limits<uint32_t>::max()))) {}
    uint32_t* get() { return &value_; }
    CK_RV Report(CK_RV rv) {
        if (rv == CKR_OK || rv == RV_BUFFER_TOO_SMALL || rv == CKR_BUFFER_TOO_SMALL) *caller_ = value_;
        return rv;
    }

private:
    CK_ULONG_PTR caller_;
    uint32_t value_;
};

// Lengths reach the session checked to fit 32 bits.
uint32_t Len32(CK_ULONG n) { return static_cast<uint32_t>(n); }

// One call on a running operation: the slot locked across the session
// checks and the mechanism call, then the outcome rules.
template <class Call>
CK_RV Run(CSessionBase& s, const Kind& kind, Check check, Outcome outcome, bool lengthQuery, Call&& call) {
    SessionSlot frame(s.SlotId());
    if (frame.rv) return frame.rv;
    if (!kind.Running(s)) return CKR_OPERATION_NOT_INITIALIZED;
    CK_RV rv = CheckCaller(s, check);
    if (rv) return rv;
    // The mechanism reaches the key (on the token, by its key file) only
    // while the handle still names the object the operation started with:
    // another process may have destroyed it, and a new key taken its file.
    rv = lengthQuery ? CKR_OK : kind.ConfirmKey(s, frame);
    if (rv == CKR_OK) {
        rv = call(kind.Mechanism(s));
        // The token failed: perhaps because the key went meanwhile.
        if (rv == CKR_DEVICE_ERROR && kind.ConfirmKey(s, frame) == CKR_KEY_HANDLE_INVALID) rv = CKR_KEY_HANDLE_INVALID;
    }
    return kind.Conclude(s, outcome, rv, lengthQuery);
}

// Single-part and final calls with output.
CK_RV Single(CSessionBase& s, const Kind& kind, Check check, Outcome outcome, CK_BYTE_PTR in, CK_ULONG inLen,
             CK_BYTE_PTR out, CK_ULONG_PTR outLen) {
    return Run(s, kind, check, outcome, out == nullptr, [&](AlgMultiPart& alg) {
        OutLength len(outLen);
        return len.Report(alg.Do(in, Len32(inLen), out, len.get()));
    });
}

CK_RV Final(CSessionBase& s, const Kind& kind, Check check, CK_BYTE_PTR out, CK_ULONG_PTR outLen) {
    return Run(s, kind, check, Outcome::Output, out == nullptr, [&](AlgMultiPart& alg) {
        OutLength len(outLen);
        return len.Report(alg.Final(out, len.get()));
    });
}

CK_RV UpdateWithOutput(CSessionBase& s, const Kind& kind, CK_BYTE_PTR in, CK_ULONG inLen, CK_BYTE_PTR out,
                       CK_ULONG_PTR outLen) {
    return Run(s, kind, Check::None, Outcome::OutputUpdate, out == nullptr, [&](AlgMultiPart& alg) {
        if (inLen == 0) {
            *outLen = 0;
            return CK_RV(CKR_OK);
        }
        OutLength len(outLen);
        return len.Report(alg.Update(in, Len32(inLen), out, len.get()));
    });
}

CK_RV UpdateInput(CSessionBase& s, const Kind& kind, Outcome outcome, CK_BYTE_PTR in, CK_ULONG inLen) {
    return Run(s, kind, Check::None, outcome, false,
               [&](AlgMultiPart& alg) { return alg.Update(in, Len32(inLen), nullptr, nullptr); });
}

}  // namespace

CK_RV Kind::Conclude(CSessionBase& s, Outcome outcome, CK_RV rv, bool lengthQuery) const {
    // Input refused before anything was queued: the operation goes on.
    if (rv == RV_INPUT_TOO_LONG) return CKR_DATA_LEN_RANGE;
    bool shortBuffer = rv == RV_BUFFER_TOO_SMALL || rv == CKR_BUFFER_TOO_SMALL;
    // A length query is answered, whichever way the mechanism gave the length.
    if (shortBuffer && lengthQuery) {
        rv = CKR_OK;
        shortBuffer = false;
    }
    switch (outcome) {
        case Outcome::Output:
        case Outcome::Recovered:
            if (shortBuffer) return CKR_BUFFER_TOO_SMALL;
            if (rv == CKR_OK && lengthQuery) return CKR_OK;
            break;
        case Outcome::OutputUpdate:
            if (shortBuffer) return CKR_BUFFER_TOO_SMALL;
            if (rv == CKR_OK) return CKR_OK;
            break;
        case Outcome::InputUpdate:
        case Outcome::VerifyUpdate:
            if (rv == CKR_OK) return CKR_OK;
            break;
        case Outcome::Verify: break;
    }
    End(s);
    if (outcome == Outcome::Verify || outcome == Outcome::VerifyUpdate || outcome == Outcome::Recovered) return rv;
    return EndedOperationRv(rv);
}

CK_RV CSessionBase::Encrypt(CK_BYTE_PTR in, CK_ULONG inLen, CK_BYTE_PTR out, CK_ULONG_PTR outLen) {
    return Single(*this, Kind::encrypt, Check::None, Outcome::Output, in, inLen, out, outLen);
}

CK_RV CSessionBase::EncryptUpdate(CK_BYTE_PTR in, CK_ULONG inLen, CK_BYTE_PTR out, CK_ULONG_PTR outLen) {
    return UpdateWithOutput(*this, Kind::encrypt, in, inLen, out, outLen);
}

CK_RV CSessionBase::EncryptFinal(CK_BYTE_PTR out, CK_ULONG_PTR outLen) {
    return Final(*this, Kind::encrypt, Check::None, out, outLen);
}

CK_RV CSessionBase::Decrypt(CK_BYTE_PTR in, CK_ULONG inLen, CK_BYTE_PTR out, CK_ULONG_PTR outLen) {
    return Single(*this, Kind::decrypt, Check::StateAndContext, Outcome::Output, in, inLen, out, outLen);
}

CK_RV CSessionBase::DecryptUpdate(CK_BYTE_PTR in, CK_ULONG inLen, CK_BYTE_PTR out, CK_ULONG_PTR outLen) {
    return UpdateWithOutput(*this, Kind::decrypt, in, inLen, out, outLen);
}

CK_RV CSessionBase::DecryptFinal(CK_BYTE_PTR out, CK_ULONG_PTR outLen) {
    return Final(*this, Kind::decrypt, Check::Context, out, outLen);
}

CK_RV CSessionBase::Digest(CK_BYTE_PTR in, CK_ULONG inLen, CK_BYTE_PTR out, CK_ULONG_PTR outLen) {
    return Single(*this, Kind::digest, Check::None, Outcome::Output, in, inLen, out, outLen);
}

CK_RV CSessionBase::DigestUpdate(CK_BYTE_PTR in, CK_ULONG inLen) {
    return UpdateInput(*this, Kind::digest, Outcome::InputUpdate, in, inLen);
}

CK_RV CSessionBase::DigestFinal(CK_BYTE_PTR out, CK_ULONG_PTR outLen) {
    return Final(*this, Kind::digest, Check::None, out, outLen);
}

CK_RV CSessionBase::Sign(CK_BYTE_PTR in, CK_ULONG inLen, CK_BYTE_PTR out, CK_ULONG_PTR outLen) {
    return Single(*this, Kind::sign, Check::StateAndContext, Outcome::Output, in, inLen, out, outLen);
}

CK_RV CSessionBase::SignUpdate(CK_BYTE_PTR in, CK_ULONG inLen) {
    return UpdateInput(*this, Kind::sign, Outcome::InputUpdate, in, inLen);
}

CK_RV CSessionBase::SignFinal(CK_BYTE_PTR out, CK_ULONG_PTR outLen) {
    return Final(*this, Kind::sign, Check::Context, out, outLen);
}

CK_RV CSessionBase::SignRecover(CK_BYTE_PTR in, CK_ULONG inLen, CK_BYTE_PTR out, CK_ULONG_PTR outLen) {
    return Single(*this, Kind::signRecover, Check::Context, Outcome::Output, in, inLen, out, outLen);
}

CK_RV CSessionBase::Verify(CK_BYTE_PTR in, CK_ULONG inLen, CK_BYTE_PTR signature, CK_ULONG signatureLen) {
    return Run(*this, Kind::verify, Check::None, Outcome::Verify, false, [&](AlgMultiPart& alg) {
        uint32_t len = Len32(signatureLen);
        return alg.Do(in, Len32(inLen), signature, &len);
    });
}

CK_RV CSessionBase::VerifyUpdate(CK_BYTE_PTR in, CK_ULONG inLen) {
    return UpdateInput(*this, Kind::verify, Outcome::VerifyUpdate, in, inLen);
}

CK_RV CSessionBase::VerifyFinal(CK_BYTE_PTR signature, CK_ULONG signatureLen) {
    return Run(*this, Kind::verify, Check::None, Outcome::Verify, false, [&](AlgMultiPart& alg) {
        uint32_t len = Len32(signatureLen);
        return alg.Final(signature, &len);
    });
}

CK_RV CSessionBase::VerifyRecover(CK_BYTE_PTR in, CK_ULONG inLen, CK_BYTE_PTR out, CK_ULONG_PTR outLen) {
    return Single(*this, Kind::verifyRecover, Check::None, Outcome::Recovered, in, inLen, out, outLen);
}
