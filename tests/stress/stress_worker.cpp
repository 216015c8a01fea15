// One application process of the stress test. Until its deadline it picks
// at random: create a token data object, read one of its own back, destroy
// one of its own, generate a token key pair (EC P-256, RSA-1024 for
// signing, RSA-1024 for key exchange), sign with one of its own private keys
// (the signature checked with OpenSSL against the public key read from the
// token), search all objects, or start over (slot list, new session, login).
// Every call is journaled (stress_journal.h).
// The objects it holds are kept within a budget of token file records, so
// that several processes never fill the token's record table.
//
//   stress_worker SOCKET MIRROR_BASE JOURNAL ID SECONDS SEED BUDGET [ADOPTED_ID...]
//
// ADOPTED_ID: killed processes whose objects this one takes over (found by
// their labels and destroyed in time, like any object of uncertain fate).
// Exit 0 at the deadline; 4 when the library cannot even be initialised.
#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>

#include "disk_mirror.h"
#include "host_socket_bridge.h"
#include "openssl_check.h"
#include "pkcs11.h"
#include "stress_journal.h"

namespace {

using testing_kv::Bytes;

const Bytes kP256 = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};
const Bytes kExponent = {0x01, 0x00, 0x01};
constexpr char kPin[] = "12345678";
constexpr CK_ATTRIBUTE_TYPE kKeyFileRef = 0x80000100UL;  // the vendor attribute: a key's token key file

std::string Hex(const Bytes& b) {
    std::string s;
    for (uint8_t v : b) s += {"0123456789ABCDEF"[v >> 4], "0123456789ABCDEF"[v & 15]};
    return s;
}

std::string Join(const std::vector<std::string>& items) {
    std::string s;
    for (const auto& i : items) s += (s.empty() ? "" : ",") + i;
    return s.empty() ? "-" : s;
}

// Attribute lists for the calls; the values live in the object.
class Template {
public:
    Template& Add(CK_ATTRIBUTE_TYPE type, Bytes value) {
        values_.push_back(std::move(value));
        types_.push_back(type);
        return *this;
    }
    Template& Flag(CK_ATTRIBUTE_TYPE type, bool on) { return Add(type, Bytes{static_cast<uint8_t>(on)}); }
    Template& ULong(CK_ATTRIBUTE_TYPE type, CK_ULONG v) {
        return Add(type, Bytes(reinterpret_cast<uint8_t*>(&v), reinterpret_cast<uint8_t*>(&v) + sizeof v));
    }
    Template& Text(CK_ATTRIBUTE_TYPE type, const std::string& s) { return Add(type, Bytes(s.begin(), s.end())); }
    CK_ATTRIBUTE* data() {
        attrs_.clear();
        for (size_t i = 0; i < types_.size(); ++i) attrs_.push_back({types_[i], values_[i].data(), values_[i].size()});
        return attrs_.data();
    }
    CK_ULONG size() const { return types_.size(); }

private:
    std::vector<CK_ATTRIBUTE_TYPE> types_;
    std::vector<Bytes> values_;
    std::vector<CK_ATTRIBUTE> attrs_;
};

class Worker {
public:
    Worker(stress::JournalWriter& journal, int id, uint32_t seed, int budget, std::vector<int> adopted)
        : journal_(journal), id_(id), random_(seed), budget_(budget), adopted_(std::move(adopted)) {}

    void Run(uint64_t deadline) {
        while (stress::MonotonicNs() < deadline) {
            if (!ready_ && !Reopen()) {
                usleep(100000);
                continue;
            }
            if (!adopted_.empty()) {
                Adopt();
                continue;
            }
            const int load = Load(), r = static_cast<int>(random_() % 100);
            if (r < 20) {
                load + 1 <= budget_ ? Create() : Destroy();
            } else if (r < 30) {
                load + 2 <= budget_ ? KeyPair() : Destroy();
            } else if (r < 50) {
                Read();
            } else if (r < 65) {
                Sign();
            } else if (r < 80) {
                Destroy();
            } else if (r < 97) {
                Search();
            } else {
                Reopen();  // as an application that starts over: slot list, session, login
            }
        }
    }

private:
    // Token file records that the objects of this process may take.
    int Load() const {
        int n = static_cast<int>(data_.size() + 2 * pairs_.size());
        for (const auto& label : doubt_) n += stress::IsPairLabel(label) ? 2 : 1;
        return n;
    }
    std::string Label(char kind) { return "w" + std::to_string(id_) + "-" + kind + std::to_string(next_++); }

    // A new session logged in, after a start or a failure that may have
    // ended the session or the login.
    bool Reopen() {
        journal_.Begin("login", "-");
        C_CloseAllSessions(1);
        CK_SLOT_ID slot = 0;
        CK_ULONG n = 1;
        const char* step = "C_GetSlotList";
        CK_RV rv = C_GetSlotList(CK_TRUE, &slot, &n);
        if (rv == CKR_OK && n == 0) rv = CKR_TOKEN_NOT_PRESENT;
        if (rv == CKR_OK) step = "C_OpenSession", rv = C_OpenSession(1, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &h_);
        if (rv == CKR_OK) step = "C_Login", rv = C_Login(h_, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(kPin)), 8);
        journal_.End("login", "-", rv, rv == CKR_OK ? "" : step);
        ready_ = rv == CKR_OK;
        return ready_;
    }
    bool LoggedIn() {
        CK_SESSION_INFO info{};
        return C_GetSessionInfo(h_, &info) == CKR_OK && info.state == CKS_RW_USER_FUNCTIONS;
    }
    void Settle(CK_RV rv) {
        if (rv == CKR_OK) return;
        usleep(20000);
        if (rv == CKR_SESSION_HANDLE_INVALID || rv == CKR_SESSION_CLOSED || rv == CKR_USER_NOT_LOGGED_IN ||
            rv == CKR_DEVICE_REMOVED || rv == CKR_TOKEN_NOT_PRESENT || !LoggedIn())
            ready_ = false;
    }
    // What an absent object means: missing, or the login is gone.
    std::string Absent() { return LoggedIn() ? "missing" : "loggedout"; }

    std::vector<CK_OBJECT_HANDLE> Find(Template& t, CK_RV& rv) {
        std::vector<CK_OBJECT_HANDLE> found;
        rv = C_FindObjectsInit(h_, t.size() ? t.data() : nullptr, t.size());
        if (rv != CKR_OK) return found;
        CK_OBJECT_HANDLE batch[64];
        CK_ULONG n = 0;
        while ((rv = C_FindObjects(h_, batch, 64, &n)) == CKR_OK && n > 0) found.insert(found.end(), batch, batch + n);
        const CK_RV final = C_FindObjectsFinal(h_);
        if (rv == CKR_OK) rv = final;
        return found;
    }
    std::vector<CK_OBJECT_HANDLE> FindLabel(const std::string& label, CK_RV& rv, long cls = -1) {
        Template t;
        t.Text(CKA_LABEL, label);
        if (cls >= 0) t.ULong(CKA_CLASS, static_cast<CK_ULONG>(cls));
        return Find(t, rv);
    }
    Bytes Attr(CK_OBJECT_HANDLE o, CK_ATTRIBUTE_TYPE type, CK_RV& rv) {
        Bytes value(1024);
        CK_ATTRIBUTE a{type, value.data(), value.size()};
        rv = C_GetAttributeValue(h_, o, &a, 1);
        value.resize(rv == CKR_OK ? a.ulValueLen : 0);
        return value;
    }

    void Create() {
        const std::string label = Label('d');
        Bytes value(1 + random_() % 600);
        for (uint8_t& b : value) b = static_cast<uint8_t>(random_());
        Template t;
        t.ULong(CKA_CLASS, CKO_DATA).Flag(CKA_TOKEN, true).Flag(CKA_PRIVATE, false).Text(CKA_LABEL, label);
        t.Add(CKA_VALUE, value);
        CK_OBJECT_HANDLE o = 0;
        journal_.Begin("create", label, Hex(value));
        const CK_RV rv = C_CreateObject(h_, t.data(), t.size(), &o);
        journal_.End("create", label, rv);
        if (rv == CKR_OK) {
            data_[label] = value;
        } else {
            doubt_.push_back(label);
        }
        Settle(rv);
    }
    void Read() {
        if (data_.empty()) return;
        auto it = std::next(data_.begin(), static_cast<long>(random_() % data_.size()));
        journal_.Begin("read", it->first);
        CK_RV rv = CKR_OK;
        const auto found = FindLabel(it->first, rv);
        Bytes value;
        if (rv == CKR_OK && found.size() == 1) value = Attr(found[0], CKA_VALUE, rv);
        std::string outcome;
        if (rv == CKR_OK) outcome = found.empty() ? Absent() : found.size() > 1 ? "twice" : value == it->second ? "same" : "other";
        journal_.End("read", it->first, rv, outcome);
        Settle(rv);
    }
    void Destroy() {
        std::vector<std::string> all;
        if (!doubt_.empty() && (random_() % 2 || Load() > budget_)) {
            all = doubt_;
        } else {
            for (const auto& d : data_) all.push_back(d.first);
            for (const auto& p : pairs_) all.push_back(p.first);
        }
        if (all.empty()) return;
        const std::string label = all[random_() % all.size()];
        journal_.Begin("destroy", label);
        CK_RV rv = CKR_OK;
        const auto found = FindLabel(label, rv);
        for (CK_OBJECT_HANDLE o : found) {
            if (rv == CKR_OK) rv = C_DestroyObject(h_, o);
        }
        journal_.End("destroy", label, rv, std::to_string(found.size()));
        data_.erase(label);
        pairs_.erase(label);
        doubt_.erase(std::remove(doubt_.begin(), doubt_.end(), label), doubt_.end());
        if (rv != CKR_OK) doubt_.push_back(label);
        Settle(rv);
    }
    void KeyPair() {
        const std::string label = Label('k');
        const uint32_t r = random_() % 20;
        const std::string kind = r < 12 ? "ec" : r < 17 ? "rsa" : "rsax";
        const bool exchange = kind == "rsax";
        Template pub, prv;
        pub.Flag(CKA_TOKEN, true).Flag(CKA_VERIFY, true).Text(CKA_LABEL, label).Text(CKA_ID, label);
        prv.Flag(CKA_TOKEN, true).Flag(CKA_PRIVATE, true).Flag(CKA_SIGN, true).Text(CKA_LABEL, label).Text(CKA_ID, label);
        if (kind == "ec") {
            pub.Add(CKA_EC_PARAMS, kP256);
        } else {
            pub.ULong(CKA_MODULUS_BITS, 1024).Add(CKA_PUBLIC_EXPONENT, kExponent).Flag(CKA_ENCRYPT, exchange);
            prv.Flag(CKA_DECRYPT, exchange);
        }
        CK_MECHANISM m{kind == "ec" ? CKM_EC_KEY_PAIR_GEN : CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
        CK_OBJECT_HANDLE a = 0, b = 0;
        journal_.Begin("keygen", label, kind);
        const CK_RV rv = C_GenerateKeyPair(h_, &m, pub.data(), pub.size(), prv.data(), prv.size(), &a, &b);
        journal_.End("keygen", label, rv, rv == CKR_OK ? KeyFile(b) + "/" + KeyFile(a) : "");
        if (rv == CKR_OK) {
            pairs_[label] = kind;
        } else {
            doubt_.push_back(label);
        }
        Settle(rv);
    }
    // The token key file a key object names, for the storage audit's reports.
    std::string KeyFile(CK_OBJECT_HANDLE key) {
        CK_ULONG ref = 0;
        CK_ATTRIBUTE a{kKeyFileRef, &ref, sizeof ref};
        char text[12] = "-";
        if (C_GetAttributeValue(h_, key, &a, 1) == CKR_OK) std::snprintf(text, sizeof text, "%04lX", ref);
        return text;
    }
    void Sign() {
        if (pairs_.empty()) return;
        auto it = std::next(pairs_.begin(), static_cast<long>(random_() % pairs_.size()));
        const std::string& label = it->first;
        const bool ec = it->second == "ec";
        journal_.Begin("sign", label);
        CK_RV rv = CKR_OK;
        const auto prv = FindLabel(label, rv, CKO_PRIVATE_KEY);
        std::vector<CK_OBJECT_HANDLE> pub;
        if (rv == CKR_OK) pub = FindLabel(label, rv, CKO_PUBLIC_KEY);
        std::string outcome = prv.size() > 1 || pub.size() > 1 ? "twice" : "";
        if (rv == CKR_OK && (prv.empty() || pub.empty())) outcome = Absent();
        if (rv == CKR_OK && outcome.empty()) {
            const std::string text = label + " signs " + std::to_string(random_());
            const Bytes message(text.begin(), text.end()), digest = testing_kv::Digest(EVP_sha256(), message);
            CK_MECHANISM m{ec ? CKM_ECDSA : CKM_SHA256_RSA_PKCS, nullptr, 0};
            Bytes signature(512);
            CK_ULONG len = signature.size();
            rv = C_SignInit(h_, &m, prv[0]);
            const Bytes& input = ec ? digest : message;
            if (rv == CKR_OK) rv = C_Sign(h_, const_cast<uint8_t*>(input.data()), input.size(), signature.data(), &len);
            signature.resize(rv == CKR_OK ? len : 0);
            testing_kv::PKey key(nullptr, EVP_PKEY_free);
            if (rv == CKR_OK) key = PublicKey(pub[0], ec, rv);
            if (rv == CKR_OK) {
                const bool good = key && (ec ? testing_kv::VerifyEcdsa(key.get(), digest, signature)
                                             : testing_kv::VerifyRsa(key.get(), EVP_sha256(), message, signature));
                outcome = good ? "verified" : "bad";
            }
        }
        journal_.End("sign", label, rv, rv == CKR_OK ? outcome : "");
        Settle(rv);
    }
    // The public key as the token gives it, for OpenSSL.
    testing_kv::PKey PublicKey(CK_OBJECT_HANDLE pub, bool ec, CK_RV& rv) {
        if (!ec) {
            const Bytes n = Attr(pub, CKA_MODULUS, rv);
            const Bytes e = rv == CKR_OK ? Attr(pub, CKA_PUBLIC_EXPONENT, rv) : Bytes();
            return testing_kv::RsaKey(n, e);
        }
        Bytes point = Attr(pub, CKA_EC_POINT, rv);
        if (point.size() == 67 && point[0] == 0x04 && point[1] == 0x41) point.erase(point.begin(), point.begin() + 2);
        if (point.size() != 65) return testing_kv::PKey(nullptr, EVP_PKEY_free);
        return testing_kv::EcKey("prime256v1", Bytes(point.begin() + 1, point.begin() + 33), Bytes(point.begin() + 33, point.end()));
    }
    // All objects, by label; checks that this process's own are there once.
    bool Search(std::map<std::string, int>* seen = nullptr) {
        journal_.Begin("search", "-");
        Template none;
        CK_RV rv = CKR_OK;
        const auto found = Find(none, rv);
        std::map<std::string, int> labels;
        for (CK_OBJECT_HANDLE o : found) {
            if (rv != CKR_OK) break;
            CK_RV r = CKR_OK;
            const Bytes label = Attr(o, CKA_LABEL, r);
            if (r == CKR_OBJECT_HANDLE_INVALID) continue;  // another process destroyed it meanwhile
            if (r != CKR_OK) rv = r;
            ++labels[std::string(label.begin(), label.end())];
        }
        std::string detail = std::to_string(found.size());
        if (rv == CKR_OK && !LoggedIn()) {
            detail += " loggedout";
        } else if (rv == CKR_OK) {
            std::vector<std::string> missing, twice;
            auto check = [&](const std::string& label, int expected) {
                const int n = labels.count(label) ? labels[label] : 0;
                if (n < expected) missing.push_back(label);
                if (n > expected) twice.push_back(label);
            };
            for (const auto& d : data_) check(d.first, 1);
            for (const auto& p : pairs_) check(p.first, 2);
            detail += " " + Join(missing) + " " + Join(twice);
        }
        journal_.End("search", "-", rv, rv == CKR_OK ? detail : "");
        Settle(rv);
        if (seen) *seen = labels;
        return rv == CKR_OK;
    }
    // Takes over what the killed processes may have left.
    void Adopt() {
        std::map<std::string, int> labels;
        if (!Search(&labels)) return;
        for (const auto& [label, n] : labels) {
            for (int dead : adopted_) {
                const std::string prefix = "w" + std::to_string(dead) + "-";
                if (label.compare(0, prefix.size(), prefix) == 0) doubt_.push_back(label);
            }
        }
        adopted_.clear();
    }

    stress::JournalWriter& journal_;
    const int id_;
    std::mt19937 random_;
    const int budget_;
    std::vector<int> adopted_;
    CK_SESSION_HANDLE h_ = 0;
    bool ready_ = false;
    int next_ = 1;
    std::map<std::string, Bytes> data_;         // acknowledged data objects and their values
    std::map<std::string, std::string> pairs_;  // acknowledged key pairs and their kinds
    std::vector<std::string> doubt_;            // objects of uncertain fate
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 8) {
        std::fprintf(stderr, "usage: %s SOCKET MIRROR_BASE JOURNAL ID SECONDS SEED BUDGET [ADOPTED_ID...]\n", argv[0]);
        return 2;
    }
    HostSocketBridge::Instance().SetSocketPath(argv[1]);
    DiskMirror::SetBase(argv[2]);
    stress::JournalWriter journal(argv[3]);
    std::vector<int> adopted;
    for (int i = 8; i < argc; ++i) adopted.push_back(std::atoi(argv[i]));
    const uint64_t deadline = stress::MonotonicNs() + uint64_t(std::atoi(argv[5])) * 1000000000ULL;
    Worker worker(journal, std::atoi(argv[4]), static_cast<uint32_t>(std::strtoul(argv[6], nullptr, 10)),
                  std::atoi(argv[7]), adopted);
    if (C_Initialize(nullptr) != CKR_OK) return 4;
    worker.Run(deadline);
    C_CloseAllSessions(1);
    C_Finalize(nullptr);
    return 0;
}
