// Drives a multi-part mechanism the way an application does: in one part,
// or in awkward chunks, each call after a length query.
#ifndef KV_TESTS_MULTIPART_DRIVE_H
#define KV_TESTS_MULTIPART_DRIVE_H

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "alg.h"

namespace testing_kv {

inline std::vector<uint8_t> OnePart(AlgMultiPart& a, const std::vector<uint8_t>& in) {
    uint32_t len = 0;
    EXPECT_EQ(a.Do(in.data(), static_cast<uint32_t>(in.size()), nullptr, &len), CKR_OK);
    std::vector<uint8_t> out(len);
    EXPECT_EQ(a.Do(in.data(), static_cast<uint32_t>(in.size()), out.data(), &len), CKR_OK);
    out.resize(len);
    return out;
}

// Update in chunks of 1, 7, 9, 15, 17, 3, 40, ... bytes, each after a length
// query, then Final after one.
inline std::vector<uint8_t> InParts(AlgMultiPart& a, const std::vector<uint8_t>& in) {
    static const size_t kSteps[] = {1, 7, 9, 15, 17, 3, 40, 2, 64};
    std::vector<uint8_t> out;
    size_t done = 0;
    for (size_t i = 0; done < in.size(); ++i) {
        const size_t n = std::min(kSteps[i % 9], in.size() - done);
        uint32_t len = 0;
        EXPECT_EQ(a.Update(in.data() + done, static_cast<uint32_t>(n), nullptr, &len), CKR_OK);
        std::vector<uint8_t> part(len + 1);  // never null: a null output only asks for the length
        uint32_t got = len;
        EXPECT_EQ(a.Update(in.data() + done, static_cast<uint32_t>(n), part.data(), &got), CKR_OK);
        EXPECT_EQ(got, len);
        out.insert(out.end(), part.begin(), part.begin() + got);
        done += n;
    }
    uint32_t len = 0;
    EXPECT_EQ(a.Final(nullptr, &len), CKR_OK);
    std::vector<uint8_t> last(len + 1);
    EXPECT_EQ(a.Final(last.data(), &len), CKR_OK);
    out.insert(out.end(), last.begin(), last.begin() + len);
    return out;
}

}  // namespace testing_kv

#endif
