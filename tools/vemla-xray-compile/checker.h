#pragma once

#include <filesystem>
#include <iosfwd>
#include <string>
#include <vector>

namespace vemla::tools {

inline constexpr const char* kCheckerUsage =
    "usage: vemla-xray-compile [--validate-only] [--pretty] [--rules-dir DIR] REQUEST.json";

// What --help prints after the usage line.
inline constexpr const char* kCheckerHelp =
    "Tells whether the helper would accept a start request (REQUEST.json, or - for standard\n"
    "input), and prints the engine document it would write to active.json.\n"
    "\n"
    "  --validate-only  stop after validation and print the normalised configuration\n"
    "  --pretty         print the JSON indented for people (default: the exact compact bytes)\n"
    "  --rules-dir DIR  where the built-in rule sources are (default: rules beside the tool)\n"
    "  --help           print this text\n"
    "\n"
    "exit codes:\n"
    "  0  accepted: the document (or configuration) on standard output\n"
    "  1  refused: the helper's message on standard error\n"
    "  2  bad usage or unreadable input: the reason and the usage line on standard error\n";

// The offline checker: reads a start request (a file, or standard input for "-") and tells
// whether the helper would accept it. Exit code 0 with the result on `out` (or the help text
// for --help), 1 with the refusal on `err`, 2 for bad usage or unreadable input. `args` exclude
// the program name and are UTF-8.
int run_checker(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
                std::ostream& err, const std::filesystem::path& default_rules_dir);

}  // namespace vemla::tools
