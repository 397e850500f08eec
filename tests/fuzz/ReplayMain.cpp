// Runs a fuzz target over saved inputs, for builds without libFuzzer:
//   <target> PATH...
// Each PATH is an input file or a directory whose files (dot files aside)
// are all inputs, run in name order. A failed check aborts the program; a
// missing path, or no input at all, fails it too, so a replay that ran
// nothing cannot pass.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

namespace fs = std::filesystem;

constexpr int kExitFailed = 1;

bool isInput(const fs::directory_entry& entry) {
    return entry.is_regular_file() && entry.path().filename().string()[0] != '.';
}

// Appends the inputs `path` names; false when it names nothing.
bool collectInputs(const fs::path& path, std::vector<fs::path>& inputs) {
    std::error_code error;
    if (fs::is_regular_file(path, error)) {
        inputs.push_back(path);
        return true;
    }
    if (!fs::is_directory(path, error)) {
        return false;
    }
    std::vector<fs::path> files;
    for (const fs::directory_entry& entry : fs::directory_iterator(path)) {
        if (isInput(entry)) {
            files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end());
    inputs.insert(inputs.end(), files.begin(), files.end());
    return true;
}

// Runs one input from heap memory of exactly its size, so that a sanitizer
// sees a read past its end.
bool runInput(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(file)),
                                  std::istreambuf_iterator<char>());
    if (file.bad()) {
        return false;
    }
    std::unique_ptr<uint8_t[]> exact(new uint8_t[bytes.size()]);
    std::copy(bytes.begin(), bytes.end(), exact.get());
    LLVMFuzzerTestOneInput(exact.get(), bytes.size());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; ++i) {
        if (!collectInputs(argv[i], inputs)) {
            std::fprintf(stderr, "no such input file or directory: %s\n", argv[i]);
            return kExitFailed;
        }
    }
    if (inputs.empty()) {
        std::fprintf(stderr, "no inputs to replay\n");
        return kExitFailed;
    }
    for (const fs::path& input : inputs) {
        std::fprintf(stderr, "replaying %s\n", input.c_str());
        if (!runInput(input)) {
            std::fprintf(stderr, "cannot read %s\n", input.c_str());
            return kExitFailed;
        }
    }
    std::fprintf(stderr, "%zu inputs replayed\n", inputs.size());
    return 0;
}
