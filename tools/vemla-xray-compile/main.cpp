#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "checker.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#endif

namespace {

std::filesystem::path tool_directory() {
#ifdef _WIN32
    std::wstring buffer(32768, L'\0');
    const DWORD length =
        GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0 || length >= buffer.size()) {
        return {};
    }
    buffer.resize(length);
    return std::filesystem::path(buffer).parent_path();
#else
    std::error_code error;
    auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path() : self.parent_path();
#endif
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
    // The request and the document are bytes: no CR/LF translation, no end at Ctrl-Z.
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        const std::u8string text = std::filesystem::path(argv[i]).u8string();
        args.emplace_back(text.begin(), text.end());
    }
#else
int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
#endif
    const int code =
        vemla::tools::run_checker(args, std::cin, std::cout, std::cerr, tool_directory() / "rules");
    std::cout.flush();
    return code;
}
