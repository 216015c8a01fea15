// The wire vectors (tests/data/wire-vectors.json) and hex helpers for tests.
#ifndef KV_TESTS_TEST_VECTORS_H
#define KV_TESTS_TEST_VECTORS_H

#include <cstdint>
#include <fstream>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

namespace testing_kv {

using Bytes = std::vector<uint8_t>;

inline Bytes Hex(const std::string& s) {
    Bytes out;
    for (size_t i = 0; i + 1 < s.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoul(s.substr(i, 2), nullptr, 16)));
    return out;
}

inline std::string ToHex(const Bytes& b) {
    static const char d[] = "0123456789ABCDEF";
    std::string s;
    for (uint8_t v : b) {
        s.push_back(d[v >> 4]);
        s.push_back(d[v & 15]);
    }
    return s;
}

inline const nlohmann::json& Vectors() {
    static const nlohmann::json j = [] {
        std::ifstream in(KV_VECTORS_FILE);
        if (!in) throw std::runtime_error("wire vectors not found: " KV_VECTORS_FILE);
        return nlohmann::json::parse(in);
    }();
    return j;
}

inline const nlohmann::json& Channel(const std::string& cipher) {
    for (const auto& c : Vectors()["channels"])
        if (c["cipher"] == cipher) return c;
    throw std::runtime_error("no channel vector " + cipher);
}

}  // namespace testing_kv

#endif
