#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <string>
#include <variant>

#include "fakes.h"
#include "pipe_server.h"
#include "request_envelope.h"

namespace vemla::service {
namespace {

using namespace testing_support;
using namespace std::chrono_literals;

constexpr const char* kOwnerSid = "S-1-5-21-1-2-3-1001";

// Time moves only when the code under test pauses.
class FakeClock final : public Clock {
public:
    std::chrono::steady_clock::time_point now() override { return now_; }
    void pause(std::chrono::milliseconds duration) override {
        now_ += duration;
        pauses.push_back(duration);
    }
    std::vector<std::chrono::milliseconds> pauses;

private:
    std::chrono::steady_clock::time_point now_{};
};

struct NoData {};
using ReadStep = std::variant<std::string, NoData, PipeError>;

// Replays what a client does: connections, the bytes it writes (each piece read in chunks no
// larger than the server's buffer), and errors. When the script of connections is spent it
// sets the stop flag, as the service control handler would.
class FakePipe final : public Pipe {
public:
    std::deque<ConnectState> connections;
    std::deque<ReadStep> reads;
    std::expected<std::string, std::string> sid = std::string(kOwnerSid);
    std::expected<std::uint32_t, std::string> pid = 77u;
    std::shared_ptr<ProcessControl> opened = make_control("client", 77, nullptr);
    bool open_fails = false;

    int sid_queries = 0;
    std::size_t bytes_before_first_sid_query = 0;
    std::size_t bytes_read = 0;
    std::vector<std::string> written;
    std::vector<std::string> events;

    ConnectState connect() override {
        if (connections.empty()) {
            stop_flag() = true;
            return ConnectState::waiting;
        }
        const ConnectState next = connections.front();
        connections.pop_front();
        return next;
    }
    void disconnect() override { events.push_back("disconnect"); }
    std::expected<std::size_t, PipeError> read(std::span<char> buffer) override {
        if (reads.empty()) {
            return std::unexpected(PipeError{kErrorNoData, ""});
        }
        ReadStep& step = reads.front();
        if (std::holds_alternative<NoData>(step)) {
            reads.pop_front();
            return std::unexpected(PipeError{kErrorNoData, ""});
        }
        if (auto* error = std::get_if<PipeError>(&step)) {
            const PipeError copy = *error;
            reads.pop_front();
            return std::unexpected(copy);
        }
        const std::string& bytes = std::get<std::string>(step);
        const std::size_t count = std::min(bytes.size() - offset_, buffer.size());
        std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(offset_), count, buffer.begin());
        offset_ += count;
        if (offset_ == bytes.size()) {
            reads.pop_front();
            offset_ = 0;
        }
        bytes_read += count;
        return count;
    }
    void write(std::string_view bytes) override {
        written.emplace_back(bytes);
        events.push_back("write");
    }
    std::expected<std::string, std::string> caller_sid() override {
        if (sid_queries++ == 0) {
            bytes_before_first_sid_query = bytes_read;
        }
        return sid;
    }
    std::expected<std::uint32_t, std::string> client_pid() override { return pid; }
    std::expected<std::unique_ptr<Process>, std::string> open_process(std::uint32_t) override {
        if (open_fails) {
            return std::unexpected("Access is denied. (os error 5)");
        }
        return std::make_unique<FakeProcess>(opened);
    }

private:
    std::size_t offset_ = 0;  // into the piece at the front of `reads`
};

class PipeLogic : public testing::Test {
protected:
    void SetUp() override { stop_flag() = false; }
    void TearDown() override { stop_flag() = false; }

    std::expected<Json, std::string> read() { return read_request(pipe_, clock_, kOwnerSid); }

    FakePipe pipe_;
    FakeClock clock_;
};

TEST_F(PipeLogic, RequestInTwoPiecesIsJoined) {
    pipe_.reads = {std::string(R"({"version":1,)"), NoData{}, std::string("\"op\":\"status\"}\n")};
    const auto request = read();
    ASSERT_TRUE(request.has_value()) << request.error();
    EXPECT_EQ(to_compact_json(*request), R"({"op":"status","version":1})");
    EXPECT_EQ(pipe_.sid_queries, 1);
}

TEST_F(PipeLogic, LineFeedInsideAReadDoesNotEndTheRequest) {
    const std::string whole =
        "{\"a\":1}\n{\"b\""
        ":2}\n";
    pipe_.reads = {std::string("{\"a\":1}\n{\"b\""), NoData{}, std::string(":2}\n")};
    const auto request = read();
    ASSERT_FALSE(request.has_value());
    EXPECT_EQ(request.error(), parse_json(whole).error());
}

TEST_F(PipeLogic, ClientThatWritesNothingMeetsTheDeadline) {
    const auto request = read();
    ASSERT_FALSE(request.has_value());
    EXPECT_EQ(request.error(), "Request deadline exceeded");
    EXPECT_EQ(clock_.now() - std::chrono::steady_clock::time_point{}, 10s);
    EXPECT_TRUE(std::ranges::all_of(clock_.pauses, [](auto d) { return d == 10ms; }));
    EXPECT_EQ(pipe_.sid_queries, 0);
}

TEST_F(PipeLogic, StopFlagEndsTheReadAtOnce) {
    stop_flag() = true;
    pipe_.reads = {std::string("{}\n")};
    EXPECT_EQ(read().error(), "Request deadline exceeded");
    EXPECT_EQ(pipe_.bytes_read, 0u);
}

TEST_F(PipeLogic, ReadFailureGivesItsText) {
    pipe_.reads = {std::string("{"),
                   PipeError{kErrorBrokenPipe, "The pipe has been ended. (os error 109)"}};
    EXPECT_EQ(read().error(), "The pipe has been ended. (os error 109)");
}

TEST_F(PipeLogic, CallerIsCheckedOnTheFirstBytes) {
    pipe_.sid = std::string("S-1-5-21-1-2-3-1002");
    pipe_.reads = {NoData{}, std::string(R"({"version":1,"op":"status"})"
                                         "\n")};
    EXPECT_EQ(read().error(), "Caller SID is not the installation owner");
    EXPECT_EQ(pipe_.bytes_before_first_sid_query, pipe_.bytes_read);
    EXPECT_EQ(pipe_.sid_queries, 1);
}

TEST_F(PipeLogic, SidFailureGivesItsText) {
    pipe_.sid = std::unexpected(std::string("Invalid token size"));
    pipe_.reads = {std::string("{}\n")};
    EXPECT_EQ(read().error(), "Invalid token size");
}

TEST_F(PipeLogic, SizeLimitIsSixteenMebibytes) {
    pipe_.reads = {"{}" + std::string(kMaxRequestBytes - 3, ' ') + "\n"};
    const auto largest = read();
    ASSERT_TRUE(largest.has_value()) << largest.error();
    EXPECT_EQ(*largest, Json::object());

    pipe_.reads = {"{}" + std::string(kMaxRequestBytes - 2, ' ') + "\n"};
    EXPECT_EQ(read().error(), "Request exceeds 512 KiB");
}

TEST(OwnerSid, ContentIsTrimmedAndChecked) {
    struct Case {
        std::string content;
        const char* sid;  // nullptr: refused
    };
    const Case cases[] = {
        {"S-1-5-21-3623811015-3361044348-30300820-1013\r\n",
         "S-1-5-21-3623811015-3361044348-30300820-1013"},
        {"\xEF\xBB\xBF S-1-5-21-1", nullptr},  // a byte order mark is not white space
        {" \t S-1-5-21-\n", "S-1-5-21-"},
        {"\xC2\xA0S-1-5-21-1\xE2\x80\x83", "S-1-5-21-1"},
        {"S-1-5-18", nullptr},
        {"S-1-5-21", nullptr},
        {"s-1-5-21-1", nullptr},
        {"S-1-5-21-1 2", nullptr},
        {"S-1-5-21-1x", nullptr},
        {"S-1-5-32-544", nullptr},
        {"S-1-5-21-" + std::string(176, '1'), nullptr},
        {"", nullptr},
    };
    for (const Case& c : cases) {
        const auto sid = parse_owner_sid(c.content);
        if (c.sid == nullptr) {
            ASSERT_FALSE(sid.has_value()) << c.content;
            EXPECT_EQ(sid.error(), "Invalid installation owner SID");
        } else {
            ASSERT_TRUE(sid.has_value()) << c.content;
            EXPECT_EQ(*sid, c.sid);
        }
    }
    const std::string longest = "S-1-5-21-" + std::string(175, '1');
    EXPECT_EQ(parse_owner_sid(longest + "\n"), longest);
}

TEST_F(PipeLogic, StartOpensTheClientAndClosesItWhenRefused) {
    ServiceState state;
    const auto reply = handle_connection(
        pipe_, state,
        Json::parse(std::string(R"({"version":1,"op":"start","native_xray":false})")));
    ASSERT_FALSE(reply.has_value());
    EXPECT_TRUE(pipe_.opened->closed);
    EXPECT_EQ(state.client_process, nullptr);

    pipe_.open_fails = true;
    EXPECT_EQ(handle_connection(pipe_, state, Json::parse(R"({"version":1,"op":"start"})")).error(),
              "Access is denied. (os error 5)");
}

TEST_F(PipeLogic, ConnectionPassesTheClientPid) {
    ServiceState state;
    const Json request =
        Json::parse(std::string(R"({"version":1,"op":"status","session":")") + kSessionA + R"("})");
    EXPECT_TRUE(handle_connection(pipe_, state, request).has_value());
    pipe_.pid = 0u;
    EXPECT_EQ(handle_connection(pipe_, state, request).error(), "Invalid client session");
    pipe_.pid = std::unexpected(std::string("Pipe failed (os error 1)"));
    EXPECT_EQ(handle_connection(pipe_, state, request).error(), "Pipe failed (os error 1)");
}

TEST_F(PipeLogic, ServeAnswersEachClientOnceAndKeepsHouse) {
    RunningConnection connection;
    ServiceState state;
    state.owner_sid = kOwnerSid;
    connection.install(state, kSessionA);
    pipe_.connections = {ConnectState::waiting, ConnectState::client_gone, ConnectState::connected,
                         ConnectState::connected};
    pipe_.reads = {std::string(R"({"version":1,"op":"status"})"
                               "\n"),
                   std::string("x"), std::string("not json\n"),
                   PipeError{kErrorBrokenPipe, "The pipe has been ended. (os error 109)"}};

    serve(pipe_, clock_, state);

    ASSERT_EQ(pipe_.written.size(), 2u);
    EXPECT_EQ(pipe_.written[0].back(), '\n');
    EXPECT_EQ(Json::parse(pipe_.written[0])["running"], true);
    EXPECT_EQ(pipe_.written[1],
              to_compact_json(error_reply(parse_json("not json\n").error())) + "\n");
    EXPECT_EQ(pipe_.events, (std::vector<std::string>{"disconnect", "write", "disconnect", "write",
                                                      "disconnect"}));
    EXPECT_TRUE(pipe_.reads.empty());
}

TEST_F(PipeLogic, IdlePollNoticesAnEngineThatEnded) {
    RunningConnection connection;
    ServiceState state;
    connection.install(state, kSessionA);
    connection.engine->exited_with = 1;
    pipe_.connections = {ConnectState::waiting};

    serve(pipe_, clock_, state);

    EXPECT_EQ(state.engine, nullptr);
    EXPECT_TRUE(state.engine_error.has_value());
    EXPECT_EQ(clock_.pauses.front(), 50ms);
}

TEST_F(PipeLogic, LingerEndsAfterTwoSecondsWithoutTheClient) {
    ServiceState state;
    state.owner_sid = kOwnerSid;
    pipe_.connections = {ConnectState::connected};
    pipe_.reads = {std::string(R"({"version":1,"op":"status"})"
                               "\n")};

    serve(pipe_, clock_, state);

    ASSERT_EQ(pipe_.written.size(), 1u);
    const auto waited = clock_.now() - std::chrono::steady_clock::time_point{};
    EXPECT_GE(waited, 2s);
    EXPECT_LT(waited, 2s + 100ms);
}

TEST_F(PipeLogic, StopFlagEndsServe) {
    stop_flag() = true;
    ServiceState state;
    pipe_.connections = {ConnectState::connected};
    serve(pipe_, clock_, state);
    EXPECT_TRUE(pipe_.events.empty());
    EXPECT_EQ(pipe_.connections.size(), 1u);
}

}  // namespace
}  // namespace vemla::service
