// Runs a fuzz target over stored inputs without libFuzzer, so that any
// compiler builds it: every regular file of the directories (and every file)
// named on the command line goes once through LLVMFuzzerTestOneInput.
// Fails when nothing was found to run; a target that breaks on an input
// crashes or aborts.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

std::vector<std::string> InputsOf(const std::filesystem::path& path) {
    std::vector<std::string> inputs;
    if (std::filesystem::is_directory(path)) {
        for (const auto& entry : std::filesystem::directory_iterator(path)) {
            if (entry.is_regular_file()) inputs.push_back(entry.path().string());
        }
        std::sort(inputs.begin(), inputs.end());
    } else if (std::filesystem::is_regular_file(path)) {
        inputs.push_back(path.string());
    }
    return inputs;
}

}  // namespace

int main(int argc, char** argv) {
    size_t count = 0;
    for (int i = 1; i < argc; ++i) {
        for (const std::string& name : InputsOf(argv[i])) {
            std::ifstream file(name, std::ios::binary);
            const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
            std::printf("%s (%zu bytes)\n", name.c_str(), bytes.size());
            std::fflush(stdout);
            LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
            ++count;
        }
    }
    std::printf("%zu inputs run\n", count);
    return count ? 0 : 1;
}
