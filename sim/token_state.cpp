#include "token_state.h"

#include <cstdio>
#include <fstream>
#include <iterator>

namespace sim {
namespace {

// Format 1 ends with the files' bytes; format 2 adds key files and secret keys.
const char kMagicV1[] = "KVTOKEN1";
const char kMagicV2[] = "KVTOKEN2";

class Writer {
public:
    void U8(uint8_t v) { out.push_back(v); }
    void U32(uint32_t v) {
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
    template <class Buffer>
    void Blob(const Buffer& b) {
        U32(static_cast<uint32_t>(b.size()));
        out.insert(out.end(), b.begin(), b.end());
    }
    void Keys(const std::map<uint8_t, SecretBytes>& keys) {
        U32(static_cast<uint32_t>(keys.size()));
        for (const auto& k : keys) {
            U8(k.first);
            Blob(k.second);
        }
    }
    Bytes out;
};

class Reader {
public:
    explicit Reader(const Bytes& b) : in(b) {}
    bool U8(uint8_t& v) {
        if (pos + 1 > in.size()) return false;
        v = in[pos++];
        return true;
    }
    bool U32(uint32_t& v) {
        if (pos + 4 > in.size()) return false;
        v = 0;
        for (int i = 0; i < 4; ++i) v |= uint32_t(in[pos++]) << (8 * i);
        return true;
    }
    template <class Buffer>
    bool Blob(Buffer& b) {
        uint32_t n;
        if (!U32(n) || n > in.size() - pos) return false;
        b.assign(in.begin() + static_cast<long>(pos), in.begin() + static_cast<long>(pos + n));
        pos += n;
        return true;
    }
    bool Keys(std::map<uint8_t, SecretBytes>& keys) {
        uint32_t count;
        if (!U32(count)) return false;
        for (uint32_t i = 0; i < count; ++i) {
            uint8_t id;
            if (!U8(id) || !Blob(keys[id])) return false;
        }
        return true;
    }
    const Bytes& in;
    size_t pos = 0;
};

}  // namespace

uint32_t TokenState::UsedBytes() const {
    uint32_t used = 0;
    for (const auto& f : files) used += static_cast<uint32_t>(f.second.data.size());
    return used;
}

Bytes TokenState::Serialize() const {
    Writer w;
    w.Blob(Bytes(kMagicV2, kMagicV2 + 8));
    w.Blob(Bytes(serial.begin(), serial.end()));
    w.U8(serialIsText);
    w.U8(cipher == Cipher::Aes128 ? 1 : 2);
    w.U8(secureMessaging);
    w.Blob(kEnc);
    w.Blob(kMac);
    w.U8(keyGenByte);
    w.U32(capacity);
    w.U32(writeCounter);
    for (const auto& p : pins) {
        w.Blob(p.value);
        w.U8(p.retry);
    }
    w.U32(static_cast<uint32_t>(files.size()));
    for (const auto& f : files) {
        w.U32(f.first);
        w.U8(f.second.readCond);
        w.U8(f.second.writeCond);
        w.U8(f.second.extraCond);
        w.Blob(f.second.data);
        w.U8(f.second.kind);
        w.Keys(f.second.keyItems);
    }
    w.Keys(secretKeys);
    return w.out;
}

std::optional<TokenState> TokenState::Parse(const Bytes& raw) {
    Reader r(raw);
    TokenState st;
    Bytes magic, serial;
    uint8_t text, cipher, sm;
    uint32_t counter, count;
    if (!r.Blob(magic)) return std::nullopt;
    bool v2 = magic == Bytes(kMagicV2, kMagicV2 + 8);
    if (!v2 && magic != Bytes(kMagicV1, kMagicV1 + 8)) return std::nullopt;
    if (!r.Blob(serial) || !r.U8(text) || !r.U8(cipher) || !r.U8(sm) || !r.Blob(st.kEnc) || !r.Blob(st.kMac) ||
        !r.U8(st.keyGenByte) || !r.U32(st.capacity) || !r.U32(counter))
        return std::nullopt;
    st.serial.assign(serial.begin(), serial.end());
    st.serialIsText = text != 0;
    st.cipher = cipher == 1 ? Cipher::Aes128 : Cipher::Tdes2;
    st.secureMessaging = sm != 0;
    st.writeCounter = static_cast<uint16_t>(counter);
    for (auto& p : st.pins) {
        if (!r.Blob(p.value) || !r.U8(p.retry)) return std::nullopt;
    }
    if (!r.U32(count)) return std::nullopt;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t fid;
        ElementaryFile f;
        if (!r.U32(fid) || !r.U8(f.readCond) || !r.U8(f.writeCond) || !r.U8(f.extraCond) || !r.Blob(f.data))
            return std::nullopt;
        if (v2 && (!r.U8(f.kind) || !r.Keys(f.keyItems))) return std::nullopt;
        st.files[static_cast<uint16_t>(fid)] = std::move(f);
    }
    if (v2 && !r.Keys(st.secretKeys)) return std::nullopt;
    return st;
}

bool SaveState(const std::string& path, const TokenState& st) {
    std::string tmp = path + ".tmp";
    Bytes raw = st.Serialize();
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(raw.data()), static_cast<std::streamsize>(raw.size()));
        out.flush();
        Wipe(raw.data(), raw.size());  // the keys are in it
        if (!out) return false;
    }
    return std::rename(tmp.c_str(), path.c_str()) == 0;
}

std::optional<TokenState> LoadState(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    Bytes raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto st = TokenState::Parse(raw);
    Wipe(raw.data(), raw.size());
    return st;
}

}  // namespace sim
