#include "platform/command_line.h"

namespace vemla::platform {

std::string quote_windows_argument(std::string_view argument) {
    if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string_view::npos) {
        return std::string(argument);
    }
    std::string quoted = "\"";
    std::size_t backslashes = 0;
    for (const char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        // Backslashes before a quotation mark are doubled and the mark escaped; elsewhere they
        // stand for themselves.
        quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        quoted.push_back(c);
    }
    // The closing quotation mark must not be escaped by trailing backslashes.
    quoted.append(backslashes * 2, '\\');
    quoted.push_back('"');
    return quoted;
}

std::string windows_command_line(std::string_view program,
                                 const std::vector<std::string>& arguments) {
    std::string line = quote_windows_argument(program);
    for (const std::string& argument : arguments) {
        line += ' ';
        line += quote_windows_argument(argument);
    }
    return line;
}

}  // namespace vemla::platform
