// File commands of the card: SELECT, READ/UPDATE BINARY, CREATE, DELETE, list.
#include "card.h"
#include "tlv.h"

namespace sim {
namespace {

constexpr uint16_t kMf = 0x3F00;
constexpr uint16_t kAdf = 0x4E51;
constexpr size_t kMaxAnswer = 2048;

Bytes Fci(uint16_t fid, size_t size, uint8_t descriptor) {
    return {0x62, 0x0C, 0x80, 0x02, static_cast<uint8_t>(size >> 8), static_cast<uint8_t>(size), 0x82, 0x02,
            descriptor, 0x00, 0x83, 0x02, static_cast<uint8_t>(fid >> 8), static_cast<uint8_t>(fid)};
}

uint16_t Fid(const Bytes& d) { return static_cast<uint16_t>((d[0] << 8) | d[1]); }

bool IsKeyKind(uint8_t descriptor) { return descriptor >= kRsaPrivateFile && descriptor <= kEcPublicFile; }

}  // namespace

ElementaryFile* Card::FileInApplication(uint16_t fid) {
    auto it = state_.files.find(fid);
    return df_ == Df::Application && it != state_.files.end() ? &it->second : nullptr;
}

Answer Card::Select(const CommandApdu& c) {
    if (c.data.size() != 2) return {{}, 0x6700};
    uint16_t fid = Fid(c.data);
    if (fid == kMf) {
        df_ = Df::Master;
        currentEf_.reset();
        return {Fci(fid, 0, 0x38), 0x9000};
    }
    if (fid == kAdf) {
        df_ = Df::Application;
        currentEf_.reset();
        needSelect_ = false;
        return {Fci(fid, 0, 0x38), 0x9000};
    }
    const ElementaryFile* f = FileInApplication(fid);
    if (!f) return {{}, 0x6A82};
    currentEf_ = fid;
    return {Fci(fid, f->data.size(), f->kind), 0x9000};
}

Answer Card::ReadBinary(const CommandApdu& c) {
    if (!currentEf_) return {{}, 0x6986};
    const ElementaryFile& f = state_.files.at(*currentEf_);
    if (f.IsKeyFile()) return {{}, 0x6981};
    if (!Allowed(f.readCond)) return {{}, 0x6982};
    size_t offset = (size_t(c.p1) << 8) | c.p2;
    size_t size = f.data.size();
    if (offset > size) return {{}, 0x6B00};
    size_t len = c.le ? c.le : std::min(size - offset, kMaxAnswer);
    if (offset + len > size) return {{}, 0x6B00};
    return {Bytes(f.data.begin() + static_cast<long>(offset), f.data.begin() + static_cast<long>(offset + len)),
            0x9000};
}

Answer Card::UpdateBinary(const CommandApdu& c) {
    if (!currentEf_) return {{}, 0x6986};
    ElementaryFile& f = state_.files.at(*currentEf_);
    if (f.IsKeyFile()) return {{}, 0x6981};
    if (!Allowed(f.writeCond)) return {{}, 0x6982};
    size_t offset = (size_t(c.p1) << 8) | c.p2;
    if (offset + c.data.size() > f.data.size()) return {{}, 0x6B00};
    std::copy(c.data.begin(), c.data.end(), f.data.begin() + static_cast<long>(offset));
    Changed();
    return {{}, 0x9000};
}

// File control parameters: 62 L { 82 descriptor, 83 02 fid, 86 security
// attributes (read, write, -, delete condition), then 80 02 size for a
// transparent file or 85 02 key size for a key file (descriptor 11 RSA
// private, 12 RSA public, 13 EC private, 14 EC public) }.
Answer Card::CreateFile(const CommandApdu& c) {
    const Bytes& d = c.data;
    if (d.size() < 2 || d[0] != 0x62) return {{}, 0x6A80};
    auto objects = ParseTlvRun(d, 2, 2 + size_t(d[1]));
    if (!objects) return {{}, 0x6A80};
    auto value = [&](uint8_t tag, size_t minLength) -> const Bytes* {
        auto it = objects->find(tag);
        return it != objects->end() && it->second.size() >= minLength ? &it->second : nullptr;
    };
    ElementaryFile f;
    if (const Bytes* descriptor = value(0x82, 1); descriptor && IsKeyKind((*descriptor)[0])) f.kind = (*descriptor)[0];
    const Bytes* size = value(f.IsKeyFile() ? 0x85 : 0x80, 2);
    const Bytes* fidObject = value(0x83, 2);
    if (const Bytes* acl = value(0x86, 4)) {
        f.readCond = (*acl)[0];
        f.writeCond = (*acl)[1];
        f.extraCond = (*acl)[3];
    }
    if (!size || size->size() != 2 || !fidObject || fidObject->size() != 2) return {{}, 0x6A80};
    uint16_t fid = Fid(*fidObject);
    if (fid == kMf || fid == kAdf) return {{}, 0x6A80};
    if (df_ != Df::Application && !privileged_) return {{}, 0x6985};
    if (state_.files.count(fid)) return {{}, 0x6A89};
    size_t bytes = f.IsKeyFile() ? 0 : (size_t((*size)[0]) << 8) | (*size)[1];
    if (state_.UsedBytes() + bytes > state_.capacity) return {{}, 0x6A84};
    f.data.assign(bytes, 0);
    state_.files[fid] = std::move(f);
    currentEf_ = fid;
    Changed();
    return {{}, 0x9000};
}

Answer Card::DeleteFile(const CommandApdu& c) {
    if (c.data.size() != 2) return {{}, 0x6700};
    uint16_t fid = Fid(c.data);
    auto it = state_.files.find(fid);
    if (it == state_.files.end()) return {{}, 0x6A82};
    if (!Allowed(it->second.extraCond)) return {{}, 0x6982};  // the delete condition
    state_.files.erase(it);
    if (currentEf_ == fid) currentEf_.reset();
    Changed();
    return {{}, 0x9000};
}

Answer Card::ListFiles() {
    Bytes out;
    for (const auto& f : state_.files) {
        out.push_back(static_cast<uint8_t>(f.first >> 8));
        out.push_back(static_cast<uint8_t>(f.first));
    }
    return {out, 0x9000};
}

}  // namespace sim
