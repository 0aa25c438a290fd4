#pragma once

#include <filesystem>
#include <iosfwd>
#include <string>
#include <vector>

namespace vemla::tools {

inline constexpr const char* kCheckerUsage =
    "usage: vemla-xray-compile [--validate-only] [--rules-dir DIR] REQUEST.json";

// The offline checker: reads a start request (a file, or standard input for "-") and tells
// whether the helper would accept it. Exit code 0 with the result on `out`, 1 with the refusal
// on `err`, 2 for bad usage or unreadable input. `args` exclude the program name and are UTF-8.
int run_checker(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
                std::ostream& err, const std::filesystem::path& default_rules_dir);

}  // namespace vemla::tools
