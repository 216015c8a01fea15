#include "store_tarn.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "acl.h"
#include "byte_order.h"
#include "iauth_manager.h"
#include "itoken.h"
#include "key_files.h"
#include "obj_factory.h"
#include "random.h"

namespace {

const char* const kPrefixes[5] = {"data", "cert", "pubk", "prvk", "seck"};
constexpr uint32_t kMaxIndex = 9998;
constexpr uint32_t kStamp = static_cast<uint32_t>(CKA_VENDOR_OBJECT_STAMP);
constexpr uint32_t kStampBytes = 8;


bool TokenFlag(const IObj& obj, bool& onToken) {
    uint8_t flag = 0;
    uint32_t len = 1;
    if (obj.GetAttr(CKA_TOKEN, &flag, &len) != CKR_OK || len != 1) return false;
    onToken = flag != 0;
    return true;
}

uint32_t ULong(const IObj& obj, uint32_t type, uint32_t fallback = 0) {
    uint32_t v = 0, len = 4;
    return obj.GetAttr(type, &v, &len) == CKR_OK && len == 4 ? v : fallback;
}

// Who may read a new object's file on the token: the file of a private data
// object or certificate needs the user's login; key objects' files stay
// readable by everyone (their material is in key files the token guards),
// so that the key files and containers can be told apart without a login.
CARD_FILE_ACCESS_CONDITION ReadCondition(const IObj& obj, uint32_t cls) {
    uint8_t flag = 0;
    uint32_t len = 1;
    const bool isPrivate = obj.GetAttr(CKA_PRIVATE, &flag, &len) == CKR_OK && len == 1 && flag;
    return isPrivate && (cls == CKO_DATA || cls == CKO_CERTIFICATE) ? UserReadWriteAc : EveryoneReadUserWriteAc;
}

}  // namespace

ByteVec CStoreTarn::Serialize(const IObj& obj) {
    std::vector<uint32_t> tags;
    obj.GetAllTags(tags);
    ByteVec out;
    for (uint32_t t : tags) {
        const ByteVec* v = obj.Value(t);
        if (!v || v->empty()) continue;
        AppendLe32(out, t);
        AppendLe32(out, static_cast<uint32_t>(v->size()));
        out.insert(out.end(), v->begin(), v->end());
    }
    return out;
}

ObjPtr CStoreTarn::CreateObject(const uint8_t* bytes, size_t length) {
    std::vector<CK_ATTRIBUTE> tmpl;
    size_t pos = 0;
    while (length - pos >= 4) {
        const uint32_t type = LoadLe32(bytes + pos);
        if (length - pos - 4 < 4) return ObjPtr();
        const uint32_t len = LoadLe32(bytes + pos + 4);
        if (length - pos - 8 < len) return ObjPtr();
        tmpl.push_back({type, const_cast<uint8_t*>(bytes + pos + 8), len});
        pos += 8 + len;
    }
    if (pos != length || tmpl.empty()) return ObjPtr();
    return ObjFactory::CreateObject(tmpl.data(), tmpl.size(), AttrForm::Stored);
}

RV CStoreTarn::ParseName(const std::string& name, CK_OBJECT_CLASS& cls, uint32_t& index) {
    if (name.size() != 8) return CKR_GENERAL_ERROR;
    for (CK_OBJECT_CLASS c = 0; c < 5; ++c) {
        if (name.compare(0, 4, kPrefixes[c]) != 0) continue;
        index = 0;
        for (size_t i = 4; i < 8; ++i) {
            if (name[i] < '0' || name[i] > '9') return CKR_GENERAL_ERROR;
            index = index * 10 + static_cast<uint32_t>(name[i] - '0');
        }
        cls = c;
        return 0;
    }
    return CKR_GENERAL_ERROR;
}

bool CStoreTarn::HoldsSecrets(const std::string& dir, const std::string& name, const uint8_t* content,
                              uint32_t length) {
    CK_OBJECT_CLASS cls = 0;
    uint32_t index = 0;
    if (dir != kDir || ParseName(name, cls, index) != 0 || cls == CKO_PUBLIC_KEY) return false;
    // Key material in a key object; a private data object's or
    // certificate's whole content.
    const bool isKey = cls == CKO_PRIVATE_KEY || cls == CKO_SECRET_KEY;
    static const uint32_t kSecret[] = {CKA_VALUE,      CKA_PRIVATE_EXPONENT, CKA_PRIME_1,    CKA_PRIME_2,
                                       CKA_EXPONENT_1, CKA_EXPONENT_2,       CKA_COEFFICIENT};
    size_t pos = 0;
    while (pos < length) {
        if (!content || length - pos < 8) return true;
        const uint32_t type = LoadLe32(content + pos), len = LoadLe32(content + pos + 4);
        if (length - pos - 8 < len) return true;
        const uint8_t* value = content + pos + 8;
        if (isKey && len && std::find(std::begin(kSecret), std::end(kSecret), type) != std::end(kSecret)) return true;
        if (!isKey && type == CKA_PRIVATE && std::any_of(value, value + len, [](uint8_t b) { return b != 0; }))
            return true;
        pos += 8 + len;
    }
    return length == 0;  // nothing readable yet
}

std::vector<tagOBJ_PROP>* CStoreTarn::GetObjList(CK_OBJECT_CLASS cls) { return cls < 5 ? &lists_[cls] : nullptr; }

tagOBJ_PROP* CStoreTarn::FindObjByID(uint32_t handle) {
    for (CK_OBJECT_CLASS c : {CKO_CERTIFICATE, CKO_PRIVATE_KEY, CKO_PUBLIC_KEY, CKO_DATA, CKO_SECRET_KEY}) {
        for (auto& e : lists_[c]) {
            if (e.object && e.object->GetHandle() == handle) return &e;
        }
    }
    return nullptr;
}

tagOBJ_PROP* CStoreTarn::FindObjByNAME(const std::string& name) {
    for (auto& list : lists_) {
        for (auto& e : list) {
            if (e.fileName == name) return &e;
        }
    }
    return nullptr;
}

void CStoreTarn::RemoveEntry(const tagOBJ_PROP* entry) {
    for (auto& list : lists_) {
        for (auto it = list.begin(); it != list.end(); ++it) {
            if (&*it == entry) {
                list.erase(it);
                return;
            }
        }
    }
}

RV CStoreTarn::GenerateFileName(CK_OBJECT_CLASS cls, std::string& name) {
    name.clear();
    if (cls > 4) return CKR_GENERAL_ERROR;
    std::vector<std::string> dirs, files;
    RV rv = fs_->EnumFiles(kDir, dirs, files, nullptr);
    if (rv) return rv;
    std::vector<bool> taken(kMaxIndex + 1, false);
    for (const auto& e : lists_[cls]) {
        CK_OBJECT_CLASS c;
        uint32_t index;
        rv = ParseName(e.fileName, c, index);
        if (rv) return rv;
        if (index <= kMaxIndex) taken[index] = true;
    }
    for (uint32_t i = 1; i <= kMaxIndex; ++i) {
        if (taken[i]) continue;
        char candidate[16];
        std::snprintf(candidate, sizeof candidate, "%s%04u", kPrefixes[cls], i);
        if (std::find(files.begin(), files.end(), candidate) != files.end()) continue;
        name = candidate;
        return 0;
    }
    return 0;
}

RV CStoreTarn::StoreObj(ObjPtr obj) {
    if (!obj) return CKR_ARGUMENTS_BAD;
    bool onToken = false;
    if (!TokenFlag(*obj, onToken)) return CKR_TEMPLATE_INCOMPLETE;
    if (!onToken) return 0;
    const uint32_t cls = ULong(*obj, CKA_CLASS, 0xFFFFFFFF);
    if (cls > 4) return CKR_GENERAL_ERROR;
    const bool isKey = cls >= CKO_PUBLIC_KEY;
    if (isKey && !obj->HasAttr(CKA_KEY_TYPE)) return RV_NOT_FOUND;
    const uint32_t keyRef = isKey ? ULong(*obj, static_cast<uint32_t>(CKA_VENDOR_KEY_REF)) : 0;

    tagOBJ_PROP* existing = FindObjByID(obj->GetHandle());
    // A new object gets a stamp of its own; an edit keeps the one it has.
    if (!existing || !obj->HasAttr(kStamp)) {
        uint8_t stamp[kStampBytes];
        if (genrate_random_bytes(stamp, kStampBytes) != kStampBytes) return CKR_FUNCTION_FAILED;
        obj->SetAttr(kStamp, stamp, kStampBytes, AttrForm::Stored);
    }
    const ByteVec bytes = Serialize(*obj);
    std::string name;
    RV rv = 0;
    const uint32_t size = static_cast<uint32_t>(bytes.size());
    if (existing) {
        // The old version stays whole until the new one is.
        name = existing->fileName;
        rv = fs_->ReplaceFile(kDir, name, bytes.data(), size, nullptr);
    } else {
        rv = GenerateFileName(cls, name);
        if (rv) return rv;
        // The file appears with its content or not at all.
        rv = fs_->CreateFileWith(kDir, name, bytes.data(), size, CFAC2ACL(ReadCondition(*obj, cls)), nullptr);
    }
    if (rv) {
        // A brand-new object's key file goes with its failed object file,
        // but only once a fresh look at the token shows no object naming
        // it: a write whose answer was lost may have stored the object.
        if (!existing && keyRef && keyRef <= 0xFFFF) {
            token_->NoteKeyFile(static_cast<uint16_t>(keyRef));
            token_->SweepKeyFiles();
        }
        return rv;
    }
    for (auto& list : lists_) {
        for (auto it = list.begin(); it != list.end();) {
            it = (it->object && it->object->GetHandle() == obj->GetHandle()) ? list.erase(it) : it + 1;
        }
    }
    tagOBJ_PROP entry;
    entry.object = obj;
    entry.fileName = name;
    entry.writeCount = 0;
    entry.seen = true;
    entry.state = tagOBJ_PROP::kNew;
    lists_[cls].push_back(entry);
    if (!existing && keyRef && keyRef <= 0xFFFF) token_->SettleKeyFile(static_cast<uint16_t>(keyRef));
    return 0;
}

bool CStoreTarn::IsUSER() {
    IAuthManager* auth = fs_->GetAuthManager();
    if (!auth) return false;
    for (CK_USER_TYPE type : {CKU_USER, CKU_SO}) {
        uint32_t ref = 0;
        AuthInfo info{};
        if (auth->GetRefByP11Type(type, &ref) != 0 || auth->GetAuthInfo(ref, &info) != 0) return false;
        if (info.flags & 1) return true;
    }
    return false;
}

RV CStoreTarn::PurgeObj(ObjPtr obj) {
    if (!obj) return CKR_ARGUMENTS_BAD;
    bool onToken = false;
    if (!TokenFlag(*obj, onToken)) return CKR_TEMPLATE_INCOMPLETE;
    if (!onToken) return 0;
    RV rv = CheckUpdate(false);
    if (rv) return rv;
    const uint32_t cls = ULong(*obj, CKA_CLASS, 0xFFFFFFFF);
    if (cls >= CKO_PUBLIC_KEY && cls <= CKO_SECRET_KEY && !IsUSER()) return CKR_USER_NOT_LOGGED_IN;
    tagOBJ_PROP* entry = FindObjByID(obj->GetHandle());
    if (!entry) return RV_NOT_FOUND;  // found before any file goes
    // What goes is decided on the object as the token holds it: a file read
    // from the phone's copy is read from the token, and an object that was
    // not what the token holds is no longer this handle's.
    bool changed = false;
    rv = fs_->ConfirmFile(kDir, entry->fileName, &changed);
    if (rv == 0 && changed) rv = CheckUpdate(false);
    if (rv) return rv;
    entry = FindObjByID(obj->GetHandle());
    if (!entry) return CKR_OBJECT_HANDLE_INVALID;
    const IObj& held = *entry->object;
    const uint32_t keyRef = ULong(held, static_cast<uint32_t>(CKA_VENDOR_KEY_REF));
    // Only a file of its kind's key range is the object's key file.
    const bool hasKeyFile = IsKeyFileOf(cls, ULong(held, CKA_KEY_TYPE, 0xFFFFFFFF), keyRef);
    // The object goes first: a key object never names a missing key file.
    // Its key file is noted before the object goes, so that the sweep takes
    // it when the key file's deletion fails, or when the object's deletion
    // reports a failure (a lost answer) and happened after all.
    if (hasKeyFile) token_->NoteKeyFile(static_cast<uint16_t>(keyRef));
    const std::string name = entry->fileName;
    rv = fs_->DeleteFile(kDir, name);
    if (rv) return rv;
    RemoveEntry(entry);
    if (!hasKeyFile) return 0;
    // With its object gone the key is destroyed: a key file that stays is
    // the sweep's, not the caller's failure.
    if (fs_->DeleteFileByFID(static_cast<uint16_t>(keyRef)) == 0) token_->SettleKeyFile(static_cast<uint16_t>(keyRef));
    return 0;
}

RV CStoreTarn::CopyObject(IObj& target, const IObj& source) {
    target.Destroy();
    std::vector<uint32_t> tags;
    source.GetAllTags(tags);
    for (uint32_t t : tags) {
        const ByteVec* v = source.Value(t);
        target.SetAttr(t, v->empty() ? nullptr : v->data(), static_cast<uint32_t>(v->size()), AttrForm::Stored);
    }
    return 0;
}

// Whether two versions of one file are one object. No edit alters its
// class and kind, its key file and key material, nor its stamp; versions
// written before objects had stamps are told apart by what an edit rarely
// changes besides: a certificate's or data object's value, a data object's
// owner.
bool CStoreTarn::SameIdentity(const IObj& known, const IObj& read) {
    static const uint32_t kFixed[] = {CKA_CLASS,     CKA_KEY_TYPE, CKA_CERTIFICATE_TYPE,
                                      static_cast<uint32_t>(CKA_VENDOR_KEY_REF),
                                      CKA_MODULUS,   CKA_PUBLIC_EXPONENT, CKA_EC_PARAMS, CKA_EC_POINT,
                                      CKA_PRIME,     CKA_BASE};
    static const uint32_t kContent[] = {CKA_VALUE, CKA_APPLICATION, CKA_OBJECT_ID};
    auto same = [&known, &read](uint32_t type) {
        const ByteVec* a = known.Value(type);
        const ByteVec* b = read.Value(type);
        return (a == nullptr) == (b == nullptr) && (!a || *a == *b);
    };
    if (!std::all_of(std::begin(kFixed), std::end(kFixed), same)) return false;
    if (known.Value(kStamp) && read.Value(kStamp)) return same(kStamp);
    return std::all_of(std::begin(kContent), std::end(kContent), same);
}

RV CStoreTarn::CheckUpdate(bool force) {
    if (force) {
        if (fs_->Initialize(true) != 0) return CKR_DEVICE_ERROR;
        for (auto& list : lists_) list.clear();
        return 0;
    }
    for (auto& list : lists_) {
        for (auto& e : list) e.seen = false;
    }
    std::vector<std::string> dirs, files;
    viewComplete_ = false;
    if (fs_->EnumFiles(kDir, dirs, files, nullptr) != 0) return KV_E_OBJ_DIR_UNLISTABLE;
    bool complete = true;
    for (const auto& name : files) {
        tagOBJ_PROP* entry = FindObjByNAME(name);
        if (entry && entry->writeCount && !fs_->Outdated(kDir, name, entry->writeCount)) {
            entry->seen = true;  // unchanged since last read
            continue;
        }
        ByteVec bytes;
        uint32_t count = 0;
        if (fs_->ReadFile(kDir, name, 0, bytes, &count) != 0) {
            if (entry) entry->seen = true;  // a read error is not a deletion
            complete = false;
            continue;
        }
        ObjPtr parsed = CreateObject(bytes.data(), bytes.size());
        if (!parsed) {
            complete = false;
            continue;
        }
        if (entry && entry->writeCount < count && Serialize(*entry->object) != Serialize(*parsed) &&
            !SameIdentity(*entry->object, *parsed)) {
            // The file name came back to another object (ours destroyed, a
            // new one filed under the freed name): the known object is gone
            // with its handle, the file's object is a new one.
            RemoveEntry(entry);
            entry = nullptr;
        }
        if (entry) {
            entry->seen = true;
            if (entry->writeCount < count) {
                // A newer stamp with the same content (the cache reloaded) is no change.
                if (Serialize(*entry->object) != Serialize(*parsed)) {
                    CopyObject(*entry->object, *parsed);
                    if (entry->state != tagOBJ_PROP::kNew) entry->state = tagOBJ_PROP::kChanged;
                }
                entry->writeCount = count;
            }
            continue;
        }
        const uint32_t cls = ULong(*parsed, CKA_CLASS, 0xFFFFFFFF);
        if (cls > 4) continue;
        tagOBJ_PROP fresh;
        fresh.object = parsed;
        fresh.fileName = name;
        fresh.writeCount = count;
        fresh.seen = true;
        fresh.state = tagOBJ_PROP::kNew;
        lists_[cls].push_back(fresh);
    }
    for (auto& list : lists_) {
        for (auto it = list.begin(); it != list.end();) it = it->seen ? it + 1 : list.erase(it);
    }
    viewComplete_ = complete;
    return 0;
}

RV CStoreTarn::CheckUpdate(const std::vector<ObjPtr>& known, std::vector<ObjPtr>& added, std::vector<ObjPtr>& removed,
                           std::vector<ObjPtr>& changed) {
    RV rv = CheckUpdate(false);
    if (rv) return rv;
    for (const auto& obj : known) {
        if (obj && !FindObjByID(obj->GetHandle())) removed.push_back(obj);
    }
    for (CK_OBJECT_CLASS c : {CKO_CERTIFICATE, CKO_PRIVATE_KEY, CKO_PUBLIC_KEY, CKO_DATA, CKO_SECRET_KEY}) {
        for (auto& e : lists_[c]) {
            if (e.state == tagOBJ_PROP::kChanged) {
                changed.push_back(e.object);
            } else if (e.state == tagOBJ_PROP::kRemoved) {
                removed.push_back(e.object);
            } else if (e.state == tagOBJ_PROP::kNew) {
                bool isKnown = false;
                for (const auto& k : known) isKnown = isKnown || (k && k->GetHandle() == e.object->GetHandle());
                if (!isKnown) added.push_back(e.object);
            }
            e.state = tagOBJ_PROP::kReported;
        }
    }
    return 0;
}

RV CStoreTarn::AllocKeyFID(CK_ULONG cls, CK_ULONG keyType, uint32_t* fid) {
    if (cls < CKO_PUBLIC_KEY || cls > CKO_SECRET_KEY) return RV_NOT_SUPPORTED;
    KeyFileRange range{};
    // Keys of other kinds never live on the token.
    if (!KeyFileRangeFor(static_cast<uint32_t>(cls), static_cast<uint32_t>(keyType), range)) return 0;
    RV rv = CheckUpdate(false);
    if (rv) return rv;
    std::vector<uint16_t> onToken;
    if (token_->GetFileList(onToken) != 0) return CKR_DEVICE_ERROR;  // the list could not be read
    for (uint32_t candidate = range.first; candidate <= range.last; candidate += range.step) {
        const bool taken = std::find(onToken.begin(), onToken.end(), candidate) != onToken.end();
        if (!taken && !RefTaken(cls, candidate)) {
            *fid = candidate;
            return 0;
        }
    }
    return CKR_FUNCTION_FAILED;
}

bool CStoreTarn::RefTaken(CK_ULONG cls, uint32_t ref) const {
    for (const auto& e : lists_[cls]) {
        if (ULong(*e.object, static_cast<uint32_t>(CKA_VENDOR_KEY_REF)) == ref) return true;
    }
    return false;
}

bool CStoreTarn::ViewComplete() const { return viewComplete_ && !fs_->RepairPending(); }

bool CStoreTarn::NamesKeyFile(uint32_t fid) {
    // An object file that could not be read may name it.
    return !viewComplete_ || RefTaken(CKO_PUBLIC_KEY, fid) || RefTaken(CKO_PRIVATE_KEY, fid);
}
