// Runs every input kept for a fuzz target once, outside the fuzzer: the program is linked with
// one target's LLVMFuzzerTestOneInput and given the target's corpus and regression folders (or
// single files), so that every build checks them as an ordinary test.
#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

namespace fs = std::filesystem;

// The inputs under Path in name order; files whose names start with "." are not inputs.
std::vector<fs::path> InputsIn(const fs::path& path) {
    std::vector<fs::path> inputs;
    if (fs::is_directory(path)) {
        for (const auto& entry : fs::directory_iterator(path))
            if (entry.is_regular_file() && entry.path().filename().string().front() != '.')
                inputs.push_back(entry.path());
        std::sort(inputs.begin(), inputs.end());
    } else if (fs::is_regular_file(path)) {
        inputs.push_back(path);
    }
    return inputs;
}

} // namespace

int main(int argc, char** argv) {
    size_t runs = 0;
    for (int i = 1; i < argc; ++i) {
        for (const fs::path& input : InputsIn(argv[i])) {
            std::ifstream file(input, std::ios::binary);
            const std::vector<char> bytes((std::istreambuf_iterator<char>(file)),
                                          std::istreambuf_iterator<char>());
            // A block of exactly the input's size, as the fuzzer gives it, so that a harness
            // reading past the end is caught by the sanitizers.
            std::unique_ptr<uint8_t[]> data(new uint8_t[bytes.size() + (bytes.empty() ? 1 : 0)]);
            std::copy(bytes.begin(), bytes.end(), data.get());
            std::cout << input.string() << std::endl;
            LLVMFuzzerTestOneInput(data.get(), bytes.size());
            ++runs;
        }
    }
    std::cout << runs << " inputs replayed" << std::endl;
    if (runs == 0) {
        std::cerr << "no inputs found" << std::endl;
        return 1;
    }
    return 0;
}
