// Runs a fuzz target's entry function over kept inputs, without libFuzzer, so that every build
// (and every sanitizer the build has) replays the corpora and the findings.
// Usage: fuzz_replay_NAME DIRECTORY_OR_FILE...

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

std::vector<std::filesystem::path> inputs_of(const std::filesystem::path& path,
                                             std::error_code& error) {
    std::vector<std::filesystem::path> inputs;
    if (!std::filesystem::is_directory(path, error)) {
        if (std::filesystem::is_regular_file(path, error)) {
            inputs.push_back(path);
        }
        return inputs;
    }
    for (const auto& entry : std::filesystem::directory_iterator(path, error)) {
        if (entry.is_regular_file()) {
            inputs.push_back(entry.path());
        }
    }
    // A fixed order makes a failure reproduce the same way on every machine.
    std::ranges::sort(inputs);
    return inputs;
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t replayed = 0;
    for (int i = 1; i < argc; ++i) {
        std::error_code error;
        const auto inputs = inputs_of(argv[i], error);
        if (inputs.empty()) {
            std::fprintf(stderr, "%s: no input here%s%s\n", argv[i], error ? ": " : "",
                         error ? error.message().c_str() : "");
            return 2;
        }
        for (const auto& input : inputs) {
            std::ifstream file(input, std::ios::binary);
            const std::string bytes{std::istreambuf_iterator<char>(file),
                                    std::istreambuf_iterator<char>()};
            if (!file.good() && !file.eof()) {
                std::fprintf(stderr, "%s: cannot read\n", input.string().c_str());
                return 2;
            }
            // The name goes out first: the last name before a crash is its input.
            std::fprintf(stderr, "%s\n", input.filename().string().c_str());
            (void)LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                         bytes.size());
            ++replayed;
        }
    }
    if (replayed == 0) {
        std::fprintf(stderr, "usage: %s DIRECTORY_OR_FILE...\n", argv[0]);
        return 2;
    }
    std::printf("replayed %zu inputs\n", replayed);
    return 0;
}
