#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vemla::platform {

// One argument written so that the Windows runtime's parser gives it back unchanged: quoted
// when empty or when it holds a space, tab or quotation mark, with backslashes doubled only
// where they precede a quotation mark.
std::string quote_windows_argument(std::string_view argument);

// The program and its arguments as one command line, each quoted as above.
std::string windows_command_line(std::string_view program,
                                 const std::vector<std::string>& arguments);

}  // namespace vemla::platform
