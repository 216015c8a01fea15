// A directory of this process for the phone-side mirrors of the targets,
// emptied before every input so that one input never sees another's files,
// and removed when the process ends.
#ifndef KV_TESTS_FUZZ_SCRATCH_DIR_H
#define KV_TESTS_FUZZ_SCRATCH_DIR_H

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace kvfuzz {

inline const std::string& ScratchDir() {
    static const std::string dir =
        (std::filesystem::temp_directory_path() / ("kvfuzz-" + std::to_string(getpid()))).string();
    return dir;
}

inline void EmptyScratchDir() {
    static const bool removedAtExit = [] {
        ScratchDir();  // made first, so that it is still there when the exit handler runs
        return std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(ScratchDir(), ignored);
        }) == 0;
    }();
    (void)removedAtExit;
    std::error_code ignored;
    std::filesystem::remove_all(ScratchDir(), ignored);
}

}  // namespace kvfuzz

#endif
