#include "helper_client/pipe_exchange.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fakes.h"

namespace vemla::helper_client {
namespace {

using namespace testing_support;
using namespace std::chrono_literals;

constexpr const char* kNotAvailable =
    "Защищённый помощник недоступен. Установите его один раз с подтверждением Windows.";
constexpr const char* kRequest = "{\"op\":\"status\",\"version\":1}\n";
constexpr const char* kReply = "{\"ok\":true}\n";

struct ConnectCase {
    const char* name;
    std::vector<OpenFailure> failures;  // before the pipe opens
    bool forever = false;               // then the last failure again, for ever
    bool opens = true;
    std::chrono::milliseconds elapsed;
    int attempts;
};

void PrintTo(const ConnectCase& c, std::ostream* out) {
    *out << c.name;
}

class ConnectRetry : public testing::TestWithParam<ConnectCase> {};

TEST_P(ConnectRetry, RetriesOnlyWhileBusyWithinTwoSeconds) {
    const ConnectCase& c = GetParam();
    FakeClock clock;
    FakeSystem system(clock);
    system.open_failures.assign(c.failures.begin(), c.failures.end());
    system.fails_forever = c.forever;
    system.forever = c.failures.empty() ? OpenFailure::other : c.failures.back();

    const auto pipe = connect_pipe(system, clock);

    if (c.opens) {
        ASSERT_TRUE(pipe.has_value()) << pipe.error();
        EXPECT_NE(*pipe, nullptr);
    } else {
        ASSERT_FALSE(pipe.has_value());
        EXPECT_EQ(pipe.error(), kNotAvailable);
    }
    EXPECT_EQ(clock.elapsed(), c.elapsed);
    EXPECT_EQ(system.opens, c.attempts);
    for (const auto pause : clock.pauses) {
        EXPECT_EQ(pause, 20ms);
    }
}

std::vector<OpenFailure> busy(int count) {
    return std::vector<OpenFailure>(static_cast<std::size_t>(count), OpenFailure::busy);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConnectRetry,
    testing::Values(
        ConnectCase{"opens_at_once", {}, false, true, 0ms, 1},
        ConnectCase{"busy_twice", busy(2), false, true, 40ms, 3},
        // The last retry starts at 1980 ms, inside the window.
        ConnectCase{"busy_until_just_before_the_end", busy(99), false, true, 1980ms, 100},
        ConnectCase{"busy_for_two_seconds", busy(1), true, false, 2000ms, 101},
        ConnectCase{"absent", {OpenFailure::other}, false, false, 0ms, 1},
        ConnectCase{
            "busy_then_absent", {OpenFailure::busy, OpenFailure::other}, false, false, 20ms, 2}),
    [](const testing::TestParamInfo<ConnectCase>& case_info) { return case_info.param.name; });

class Exchange : public testing::Test {
protected:
    Exchange() { script_->clock = &clock_; }

    std::expected<std::string, std::string> run(std::string_view request = kRequest) {
        FakePipe pipe(script_);
        return exchange(pipe, request, clock_);
    }

    FakeClock clock_;
    std::shared_ptr<PipeScript> script_ = std::make_shared<PipeScript>();
};

TEST_F(Exchange, PartialWritesAndEmptyReadsMakeOneExchange) {
    script_->writes = {Step::accepting(3), Step::accepting(0), Step::accepting(1000)};
    script_->reads = {Step::none(), Step::reading("{\"ok\":"), Step::reading(""),
                      Step::reading("true}\n")};

    const auto reply = run();

    ASSERT_TRUE(reply.has_value()) << reply.error();
    EXPECT_EQ(*reply, kReply);
    EXPECT_EQ(script_->written, std::string(kRequest) + "!");
    EXPECT_EQ(*script_->log, (EventLog{"pipe:nonblocking", "pipe:write", "pipe:write", "pipe:write",
                                       "pipe:write", "pipe:close"}));
    // One pause for the write of nothing, one for each read of nothing.
    EXPECT_EQ(clock_.pauses, (std::vector<std::chrono::milliseconds>{10ms, 10ms, 10ms}));
}

TEST_F(Exchange, ReplyEndsOnlyAtALineFeedThatIsTheLastByteRead) {
    script_->reads = {Step::reading("{\"ok\":true,\n\"a\""), Step::reading(":1}\n")};
    const auto reply = run();
    ASSERT_TRUE(reply.has_value()) << reply.error();
    EXPECT_EQ(*reply, "{\"ok\":true,\n\"a\":1}\n");
    EXPECT_EQ(script_->read_calls, 2);
}

TEST_F(Exchange, ReplyIsReadInChunksOf4096Bytes) {
    script_->reads = {Step::reading(std::string(10000, ' ') + kReply)};
    const auto reply = run();
    ASSERT_TRUE(reply.has_value()) << reply.error();
    EXPECT_EQ(reply->size(), 10000 + std::string(kReply).size());
    EXPECT_EQ(script_->read_calls, 3);
}

struct SizeCase {
    const char* name;
    std::size_t bytes;  // of the reply, its line feed included
    bool accepted;
};

class ReplySize : public Exchange, public testing::WithParamInterface<SizeCase> {};

TEST_P(ReplySize, LimitIs65536BytesWithTheLineFeed) {
    const std::string reply_text = std::string(GetParam().bytes - 1, ' ') + "\n";
    script_->reads = {Step::reading(reply_text)};
    const auto reply = run();
    if (GetParam().accepted) {
        ASSERT_TRUE(reply.has_value()) << reply.error();
        EXPECT_EQ(*reply, reply_text);
        EXPECT_TRUE(script_->written.ends_with("!"));
    } else {
        ASSERT_FALSE(reply.has_value());
        EXPECT_EQ(reply.error(), "Helper response too large");
        EXPECT_FALSE(script_->written.ends_with("!"));
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, ReplySize,
                         testing::Values(SizeCase{"exactly_65536", 65536, true},
                                         SizeCase{"one_more", 65537, false},
                                         SizeCase{"far_more", 200000, false}),
                         [](const testing::TestParamInfo<SizeCase>& case_info) {
                             return case_info.param.name;
                         });

TEST_F(Exchange, ReplyWithoutLineFeedIsRefusedOnceTooLarge) {
    script_->reads = {Step::reading(std::string(70000, 'x'))};
    const auto reply = run();
    ASSERT_FALSE(reply.has_value());
    EXPECT_EQ(reply.error(), "Helper response too large");
    EXPECT_EQ(script_->read_calls, 17);  // the first read past 65536 bytes
}

struct FailureCase {
    const char* name;
    std::optional<std::string> mode_error;
    std::deque<Step> writes;
    std::deque<Step> reads;
    std::string message;
    std::string written;  // by the client before it gave up
    std::chrono::milliseconds elapsed;
};

void PrintTo(const FailureCase& c, std::ostream* out) {
    *out << c.name;
}

class ExchangeFailure : public Exchange, public testing::WithParamInterface<FailureCase> {};

TEST_P(ExchangeFailure, EndsWithItsMessageAndNoAcknowledgement) {
    const FailureCase& c = GetParam();
    script_->mode_error = c.mode_error;
    script_->writes = c.writes;
    script_->reads = c.reads;

    const auto reply = run();

    ASSERT_FALSE(reply.has_value());
    EXPECT_EQ(reply.error(), c.message);
    EXPECT_EQ(script_->written, c.written);
    EXPECT_EQ(clock_.elapsed(), c.elapsed);
}

const std::string kBroken = "The pipe has been ended. (os error 109)";

INSTANTIATE_TEST_SUITE_P(
    Cases, ExchangeFailure,
    testing::Values(FailureCase{"mode_not_set",
                                "The handle is invalid. (os error 6)",
                                {},
                                {},
                                "The handle is invalid. (os error 6)",
                                "",
                                0ms},
                    FailureCase{"write_fails",
                                std::nullopt,
                                {Step::accepting(5), Step::failing(kBroken)},
                                {},
                                kBroken,
                                "{\"op\"",
                                0ms},
                    // 1500 writes of nothing, 10 ms apart.
                    FailureCase{"server_never_reads",
                                std::nullopt,
                                std::deque<Step>(2000, Step::accepting(0)),
                                {},
                                "Helper write timeout",
                                "",
                                15000ms},
                    // Every call is judged after it returns, the one that finished the request too.
                    FailureCase{"last_write_ends_after_the_window",
                                std::nullopt,
                                {Step::accepting(1000).lasting(15000ms)},
                                {},
                                "Helper write timeout",
                                kRequest,
                                15000ms},
                    FailureCase{"read_fails",
                                std::nullopt,
                                {},
                                {Step::none(), Step::failing(kBroken)},
                                kBroken,
                                kRequest,
                                10ms},
                    // The window counts from the start of the write, not from the first read.
                    FailureCase{"server_never_answers",
                                std::nullopt,
                                {Step::accepting(10).lasting(4000ms),
                                 Step::accepting(1000).lasting(1000ms)},
                                {},
                                "Helper response timeout",
                                kRequest,
                                15000ms},
                    FailureCase{"answer_stops_half_way",
                                std::nullopt,
                                {},
                                {Step::reading("{\"ok\":").lasting(14990ms)},
                                "Helper response timeout",
                                kRequest,
                                15000ms}),
    [](const testing::TestParamInfo<FailureCase>& case_info) { return case_info.param.name; });

TEST_F(Exchange, FailedAcknowledgementDoesNotSpoilTheReply) {
    script_->writes = {Step::accepting(1000), Step::failing(kBroken)};
    script_->reads = {Step::reading(kReply)};
    const auto reply = run();
    ASSERT_TRUE(reply.has_value()) << reply.error();
    EXPECT_EQ(*reply, kReply);
    EXPECT_EQ(script_->write_calls, 2);
}

struct ReplyCase {
    const char* name;
    std::string reply;
    std::optional<std::string> refusal;  // none: the reply object comes back
};

void PrintTo(const ReplyCase& c, std::ostream* out) {
    *out << c.name;
}

class ReplyJudgement : public testing::TestWithParam<ReplyCase> {};

TEST_P(ReplyJudgement, OkTrueIsTheReplyAndAnythingElseARefusal) {
    const ReplyCase& c = GetParam();
    const auto judged = interpret_reply(c.reply);
    if (c.refusal) {
        ASSERT_FALSE(judged.has_value()) << to_compact_json(*judged);
        EXPECT_EQ(judged.error(), *c.refusal);
    } else {
        ASSERT_TRUE(judged.has_value()) << judged.error();
        EXPECT_EQ(*judged, *parse_json(c.reply));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReplyJudgement,
    testing::Values(
        ReplyCase{"ok", "{\"ok\":true,\"running\":false}\n", std::nullopt},
        ReplyCase{"ok_with_error_text", "{\"error\":\"x\",\"ok\":true}\n", std::nullopt},
        ReplyCase{"error_text_unchanged",
                  "{\"error\":\"Xray: правило не поддерживается\",\"ok\":false}\n",
                  "Xray: правило не поддерживается"},
        ReplyCase{"error_without_ok", "{\"error\":\"Operation not permitted\"}\n",
                  "Operation not permitted"},
        ReplyCase{"empty_error_text", "{\"error\":\"\",\"ok\":false}\n", ""},
        ReplyCase{"false_without_error", "{\"ok\":false}\n", "Helper failed"},
        ReplyCase{"ok_as_string", "{\"ok\":\"true\"}\n", "Helper failed"},
        ReplyCase{"ok_as_number", "{\"ok\":1}\n", "Helper failed"},
        ReplyCase{"error_not_text", "{\"error\":5,\"ok\":false}\n", "Helper failed"},
        ReplyCase{"not_an_object", "[{\"ok\":true}]\n", "Helper failed"},
        ReplyCase{"bare_true", "true\n", "Helper failed"},
        ReplyCase{"invalid_json", "{\"ok\":tru}\n", parse_json("{\"ok\":tru}\n").error()},
        ReplyCase{"two_objects", "{\"ok\":true}\n{}\n", parse_json("{\"ok\":true}\n{}\n").error()}),
    [](const testing::TestParamInfo<ReplyCase>& case_info) { return case_info.param.name; });

}  // namespace
}  // namespace vemla::helper_client
