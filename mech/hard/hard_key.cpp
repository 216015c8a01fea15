#include "hard_key.h"

#include "itoken.h"

CK_RV WriteULong(const ObjPtr& obj, uint32_t type, uint32_t value) { return obj->SetAttr(type, &value, sizeof value); }

CK_RV WriteBytes(const ObjPtr& obj, uint32_t type, const ByteVec& value) {
    return obj->SetAttr(type, value.data(), static_cast<uint32_t>(value.size()));
}

CK_RV CheckTokenKey(const ObjPtr& key, uint32_t cls, uint32_t keyType) {
    CK_RV rv = ExpectULong(key, CKA_CLASS, cls, CKR_GENERAL_ERROR);
    if (rv == CKR_OK) rv = ExpectULong(key, CKA_KEY_TYPE, keyType, CKR_GENERAL_ERROR);
    return rv ? rv : ExpectFlag(key, CKA_TOKEN, CKR_GENERAL_ERROR);
}

CK_RV ExactAnswer(uint32_t tokenResult, uint32_t got, uint32_t want) {
    if (tokenResult) return CKR_DEVICE_ERROR;
    return got == want ? CKR_OK : CKR_GENERAL_ERROR;
}

KeyFilesGuard::KeyFilesGuard(IToken* token) : token_(token) {
    if (token_) token_->SweepKeyFiles();
}

void KeyFilesGuard::Track(uint16_t fid) {
    (fids_[0] ? fids_[1] : fids_[0]) = fid;
    token_->NoteKeyFile(fid);
}

KeyFilesGuard::~KeyFilesGuard() {
    if (kept_) return;
    for (uint16_t fid : fids_) {
        if (fid && token_->DeleteFile(fid) == 0) token_->SettleKeyFile(fid);
    }
}
