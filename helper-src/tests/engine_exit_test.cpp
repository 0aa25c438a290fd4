#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "engine_exit.h"
#include "platform.h"
#include "test_directory.h"

namespace vemla::service {
namespace {

std::string repeat(std::string_view piece, std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        text += piece;
    }
    return text;
}

struct ExitCase {
    const char* name;
    std::string log;
    std::optional<std::uint32_t> code;
    std::string message;
};

class ExitMessage : public testing::TestWithParam<ExitCase> {};

TEST_P(ExitMessage, NamesTheCodeAndTheLastNonBlankLine) {
    EXPECT_EQ(engine_exit_message_from_log(GetParam().log, GetParam().code), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Logs, ExitMessage,
    testing::Values(
        ExitCase{"nothing", "", std::nullopt, "Движок завершился"},
        ExitCase{"code_only", "", 1u, "Движок завершился с кодом 1"},
        ExitCase{"line_without_code", "failed\n", std::nullopt, "Движок завершился: failed"},
        ExitCase{"negative_code", "x\n", 0xC0000005u, "Движок завершился с кодом -1073741819: x"},
        ExitCase{"all_bits", "", 0xFFFFFFFFu, "Движок завершился с кодом -1"},
        ExitCase{"still_active_code", "", 259u, "Движок завершился с кодом 259"},
        ExitCase{"blank_lines_only", "\n  \r\n\t\n\xC2\xA0\n", 2u, "Движок завершился с кодом 2"},
        ExitCase{"last_line_kept_untrimmed", "first\n  padded line \t\n \n", 1u,
                 "Движок завершился с кодом 1:   padded line \t"},
        ExitCase{"crlf", "one\r\ntwo\r\n", 1u, "Движок завершился с кодом 1: two"},
        ExitCase{"inner_carriage_return", "a\rb\n", 1u, "Движок завершился с кодом 1: a\rb"},
        ExitCase{"no_final_line_feed", "first\nsecond", 1u, "Движок завершился с кодом 1: second"},
        // Only a carriage return before a line feed ends a line; a last one without it stays.
        ExitCase{"final_carriage_return_without_line_feed", "first\nsecond\r", 1u,
                 "Движок завершился с кодом 1: second\r"},
        ExitCase{"invalid_bytes", "bad \xFF\xFE line\n", 1u,
                 "Движок завершился с кодом 1: bad \xEF\xBF\xBD\xEF\xBF\xBD line"},
        ExitCase{"truncated_sequence", "cut \xE2\x82", 1u,
                 "Движок завершился с кодом 1: cut \xEF\xBF\xBD"},
        ExitCase{"surrogate_bytes", "s \xED\xA0\x80\n", 1u,
                 "Движок завершился с кодом 1: s \xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
        ExitCase{"cut_by_characters", repeat("Ж", 3000) + "\n", 1u,
                 "Движок завершился с кодом 1: " + repeat("Ж", 1000)},
        ExitCase{"exactly_a_thousand", repeat("ж", 1000), 1u,
                 "Движок завершился с кодом 1: " + repeat("ж", 1000)}),
    [](const testing::TestParamInfo<ExitCase>& case_info) { return case_info.param.name; });

class EngineLogFile : public testing::Test {
protected:
    void SetUp() override { dir_ = testing_support::make_test_directory("vemla-engine-log-"); }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    void write_log(const std::string& bytes) {
        std::ofstream(dir_ / "engine.log", std::ios::binary) << bytes;
    }

    std::filesystem::path dir_;
};

TEST_F(EngineLogFile, MissingLogGivesTheCodeAlone) {
    EXPECT_EQ(engine_exit_message(dir_, 1u), "Движок завершился с кодом 1");
}

TEST_F(EngineLogFile, OnlyTheTailIsRead) {
    write_log("early line\n" + std::string(5000, '\n') + "late line\n");
    EXPECT_EQ(engine_exit_message(dir_, 1u), "Движок завершился с кодом 1: late line");
    write_log("early line\n" + std::string(4096, '\n'));
    EXPECT_EQ(engine_exit_message(dir_, 1u), "Движок завершился с кодом 1");
}

TEST_F(EngineLogFile, TailStartingInsideACharacterDecodesTheFragmentAsReplacement) {
    write_log(repeat("Ж", 2048) + "a");
    EXPECT_EQ(read_file_tail(dir_ / "engine.log", kEngineLogTailBytes).size(), 4096u);
    EXPECT_EQ(engine_exit_message(dir_, 7u),
              "Движок завершился с кодом 7: \xEF\xBF\xBD" + repeat("Ж", 999));
}

TEST_F(EngineLogFile, ShortFileIsReadWhole) {
    write_log("only\n");
    EXPECT_EQ(read_file_tail(dir_ / "engine.log", kEngineLogTailBytes), "only\n");
}

}  // namespace
}  // namespace vemla::service
