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

const PipeRead kBrokenPipe{PipeRead::Kind::closed, 0, "The pipe has been ended. (os error 109)"};

class PipeLogic : public testing::Test {
protected:
    void SetUp() override { opened_ = make_control("client", 77, nullptr); }

    std::expected<Json, std::string> read() {
        return read_request(pipe_, fake_.clock, fake_.stop, kOwnerSid);
    }
    void serve_state(ServiceState& state) { serve(fake_.context, pipe_, state); }
    std::expected<Json, std::string> connection(ServiceState& state, const Json& request) {
        fake_.system.processes[77] = opened_;
        return handle_connection(fake_.context, pipe_, state, request);
    }

    FakeContext fake_;
    FakePipe pipe_{fake_.stop};
    std::shared_ptr<ProcessControl> opened_;
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
    EXPECT_EQ(fake_.clock.now() - std::chrono::steady_clock::time_point{}, 10s);
    EXPECT_TRUE(std::ranges::all_of(fake_.clock.pauses, [](auto d) { return d == 10ms; }));
    EXPECT_EQ(pipe_.sid_queries, 0);
}

TEST_F(PipeLogic, StopFlagEndsTheReadAtOnce) {
    fake_.stop.set();
    pipe_.reads = {std::string("{}\n")};
    EXPECT_EQ(read().error(), "Request deadline exceeded");
    EXPECT_EQ(pipe_.bytes_read, 0u);
}

TEST_F(PipeLogic, ReadFailureGivesItsText) {
    pipe_.reads = {std::string("{"), kBrokenPipe};
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
    const auto reply = connection(
        state, Json::parse(std::string(R"({"version":1,"op":"start","native_xray":false})")));
    ASSERT_FALSE(reply.has_value());
    EXPECT_TRUE(opened_->closed);
    EXPECT_EQ(state.client_process, nullptr);

    fake_.system.processes.clear();
    EXPECT_EQ(
        handle_connection(fake_.context, pipe_, state, Json::parse(R"({"version":1,"op":"start"})"))
            .error(),
        "The parameter is incorrect. (os error 87)");
}

TEST_F(PipeLogic, ConnectionPassesTheClientPid) {
    ServiceState state;
    const Json request =
        Json::parse(std::string(R"({"version":1,"op":"status","session":")") + kSessionA + R"("})");
    EXPECT_TRUE(connection(state, request).has_value());
    pipe_.pid = 0u;
    EXPECT_EQ(connection(state, request).error(), "Invalid client session");
    pipe_.pid = std::unexpected(std::string("Pipe failed (os error 1)"));
    EXPECT_EQ(connection(state, request).error(), "Pipe failed (os error 1)");
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
                   std::string("x"), std::string("not json\n"), kBrokenPipe};

    serve_state(state);

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

    serve_state(state);

    EXPECT_EQ(state.engine, nullptr);
    EXPECT_TRUE(state.engine_error.has_value());
    EXPECT_EQ(fake_.clock.pauses.front(), 50ms);
}

// How the wait for the client to let go after the reply ends, by what the client does.
struct LingerCase {
    const char* name;
    std::vector<ReadStep> after_reply;  // what the reads after the reply give
    std::size_t polls;                  // 10 ms pauses after the reply
};

class Linger : public PipeLogic, public testing::WithParamInterface<LingerCase> {};

TEST_P(Linger, EndsWhenTheClientLetsGoOrAfterTwoSeconds) {
    const LingerCase& c = GetParam();
    ServiceState state;
    state.owner_sid = kOwnerSid;
    pipe_.connections = {ConnectState::connected};
    pipe_.reads = {std::string(R"({"version":1,"op":"status"})"
                               "\n")};
    pipe_.reads.insert(pipe_.reads.end(), c.after_reply.begin(), c.after_reply.end());

    serve_state(state);

    ASSERT_EQ(pipe_.written.size(), 1u);
    // The housekeeping poll after the client ends adds one 50 ms pause.
    EXPECT_EQ(fake_.clock.elapsed(), c.polls * 10ms + 50ms);
    EXPECT_EQ(std::ranges::count(fake_.clock.pauses, 10ms), static_cast<long>(c.polls));
}

INSTANTIATE_TEST_SUITE_P(
    Clients, Linger,
    testing::Values(
        LingerCase{"silent_client", {}, 200},
        LingerCase{"acknowledging_client", {NoData{}, std::string("!")}, 1},
        LingerCase{"closed_client", {NoData{}, NoData{}, kBrokenPipe}, 2},
        LingerCase{"failing_read", {PipeRead{PipeRead::Kind::failed, 0, "x (os error 1)"}}, 200}),
    [](const testing::TestParamInfo<LingerCase>& param) { return param.param.name; });

TEST_F(PipeLogic, StopFlagEndsTheLinger) {
    ServiceState state;
    state.owner_sid = kOwnerSid;
    pipe_.connections = {ConnectState::connected};
    pipe_.reads = {std::string(R"({"version":1,"op":"status"})"
                               "\n")};
    pipe_.stop_after_write = true;

    serve_state(state);

    ASSERT_EQ(pipe_.written.size(), 1u);
    EXPECT_EQ(fake_.clock.elapsed(), 0ms);
    EXPECT_EQ(pipe_.events, (std::vector<std::string>{"write", "disconnect"}));
}

TEST_F(PipeLogic, StopFlagEndsServe) {
    fake_.stop.set();
    ServiceState state;
    pipe_.connections = {ConnectState::connected};
    serve_state(state);
    EXPECT_TRUE(pipe_.events.empty());
    EXPECT_EQ(pipe_.connections.size(), 1u);
}

}  // namespace
}  // namespace vemla::service
