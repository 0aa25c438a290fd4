#include "platform/command_line.h"

#include <gtest/gtest.h>

namespace vemla::platform {
namespace {

struct QuoteCase {
    const char* argument;
    const char* written;
};

TEST(QuoteWindowsArgument, GivesBackWhatTheRuntimeParserReadsAsTheArgument) {
    const QuoteCase cases[] = {
        {"run", "run"},
        {"", "\"\""},
        {"C:\\Program Files\\VemlaHelper\\xray.exe",
         "\"C:\\Program Files\\VemlaHelper\\xray.exe\""},
        {"C:\\data\\active.json", "C:\\data\\active.json"},
        {"a\"b", "\"a\\\"b\""},
        {"a\\\"b", "\"a\\\\\\\"b\""},
        {"dir with space\\", "\"dir with space\\\\\""},
        {"tab\there", "\"tab\there\""},
        {"trailing\\\\", "trailing\\\\"},
        {"$x='a b';@{n=1}|ConvertTo-Json", "\"$x='a b';@{n=1}|ConvertTo-Json\""},
    };
    for (const QuoteCase& c : cases) {
        EXPECT_EQ(quote_windows_argument(c.argument), c.written) << c.argument;
    }
}

TEST(WindowsCommandLine, QuotesTheProgramAndEveryArgument) {
    EXPECT_EQ(windows_command_line("C:\\Program Files\\x.exe", {"run", "-c", "C:\\a b\\c.json"}),
              "\"C:\\Program Files\\x.exe\" run -c \"C:\\a b\\c.json\"");
    EXPECT_EQ(windows_command_line("x.exe", {}), "x.exe");
}

}  // namespace
}  // namespace vemla::platform
