// The real pipe, served by vemla_pipe_test_server in its own process.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "json/json_text.h"
#include "pipe_server.h"
#include "pipe_test_support.h"
#include "request_envelope.h"
#include "win/pipe_win.h"
#include "win/win_process.h"
#include "win32/unique_object.h"
#include "win32/win32_text.h"

namespace vemla::service {

using namespace ::vemla::win;
namespace {

using namespace testing_support;

using namespace std::chrono_literals;

class RealPipe : public testing::Test {
protected:
    void SetUp() override { start(own_sid()); }

    void start(const std::string& owner_sid) {
        server_.emplace(owner_sid);
        ASSERT_TRUE(server_->started()) << last_error_text();
        ASSERT_EQ(server_->read_line(), "ready");
    }

    std::optional<TestServer> server_;
};

TEST_F(RealPipe, StatusRoundTripIsTheIdleSnapshot) {
    EXPECT_EQ(exchange(kStatusRequest), std::string(kIdleStatus) + "\n");
}

// The helper's own client lets the server identify it but not act as it; the server only needs
// to know who it is.
TEST_F(RealPipe, ClientThatAllowsOnlyIdentificationIsServed) {
    const std::wstring name = to_wide(helper_protocol::kPipeName);
    UniqueHandle client;
    for (int i = 0; i < 500 && !client; ++i) {
        client.reset(::CreateFileW(name.c_str(), 0x12019B, 0, nullptr, OPEN_EXISTING,
                                   SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
        if (!client) {
            std::this_thread::sleep_for(5ms);
        }
    }
    ASSERT_TRUE(client) << last_error_text();
    ASSERT_TRUE(write_all(client.get(), kStatusRequest));
    EXPECT_EQ(read_reply(client.get()), std::string(kIdleStatus) + "\n");
}

TEST_F(RealPipe, EnvelopeRefusalsComeBackOnTheSameConnection) {
    const std::string session(64, 'b');
    EXPECT_EQ(exchange("{\"version\":1,\"op\":\"status\",\"session\":\"abc\"}\n"),
              error_line("Invalid client session"));
    // The pipe reports a real process id, so a well-formed session passes.
    EXPECT_EQ(exchange("{\"version\":1,\"op\":\"status\",\"session\":\"" + session + "\"}\n"),
              std::string(kIdleStatus) + "\n");
    EXPECT_EQ(exchange("{\"version\":1.0,\"op\":\"status\"}\n"),
              error_line("Protocol version mismatch"));
    // A start opens the caller's process before the envelope refuses it.
    EXPECT_EQ(exchange("{\"version\":1,\"op\":\"start\",\"session\":\"" + session + "\"}\n"),
              error_line("Этот помощник запускает только native Xray; обнови клиент Vemla"));
}

struct PiecesCase {
    const char* name;
    std::vector<std::string> pieces;  // written with a pause between them
    std::string reply;
};

void PrintTo(const PiecesCase& c, std::ostream* out) {
    *out << c.name;
}

class Framing : public RealPipe, public testing::WithParamInterface<PiecesCase> {};

TEST_P(Framing, RequestEndsAtALineFeedThatIsTheLastByteReceived) {
    const UniqueHandle client = open_client();
    ASSERT_TRUE(client);
    const auto& pieces = GetParam().pieces;
    for (std::size_t i = 0; i + 1 < pieces.size(); ++i) {
        ASSERT_TRUE(write_all(client.get(), pieces[i]));
        std::this_thread::sleep_for(300ms);
        EXPECT_EQ(bytes_waiting(client.get()), 0u) << "answered after piece " << i;
    }
    ASSERT_TRUE(write_all(client.get(), pieces.back()));
    EXPECT_EQ(read_reply(client.get()), GetParam().reply);
}

INSTANTIATE_TEST_SUITE_P(
    Pieces, Framing,
    testing::Values(
        PiecesCase{"two_writes",
                   {"{\"version\":1,", "\"op\":\"status\"}\n"},
                   std::string(kIdleStatus) + "\n"},
        // Had the first line feed ended the request, the first object would have been answered.
        PiecesCase{
            "feed_not_last_in_read",
            {"{\"version\":1,\"op\":\"status\"}\n{\"version\"", ":1}\n"},
            error_line(parse_json("{\"version\":1,\"op\":\"status\"}\n{\"version\":1}\n").error())},
        PiecesCase{"invalid_json",
                   {"{\"version\":", "1,}\n"},
                   error_line(parse_json("{\"version\":1,}\n").error())}),
    [](const testing::TestParamInfo<PiecesCase>& case_info) { return case_info.param.name; });

TEST_F(RealPipe, SilentClientIsAnsweredWithTheDeadline) {
    const UniqueHandle client = open_client();
    ASSERT_TRUE(client);
    const auto began = std::chrono::steady_clock::now();
    EXPECT_EQ(read_reply(client.get()), error_line("Request deadline exceeded"));
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - began);
    std::printf("silent client answered after %lld ms\n", static_cast<long long>(waited.count()));
}

TEST_F(RealPipe, ClientThatLeavesAtOnceDoesNotStopTheServer) {
    for (int i = 0; i < 3; ++i) {
        UniqueHandle client = open_client();
        ASSERT_TRUE(client);
    }
    EXPECT_EQ(exchange(kStatusRequest), std::string(kIdleStatus) + "\n");
}

TEST_F(RealPipe, RequestOverSixteenMebibytesIsRefused) {
    EXPECT_EQ(exchange(std::string(kMaxRequestBytes + 1, 'x')),
              error_line("Request exceeds 512 KiB"));
    EXPECT_EQ(exchange(kStatusRequest), std::string(kIdleStatus) + "\n");
}

TEST_F(RealPipe, RequestOfOneMebibyteIsAccepted) {
    const std::string head = "{\"version\":1,\"op\":\"status\",\"document\":\"";
    const std::string tail = "\"}\n";
    const std::string request =
        head + std::string((1u << 20) - head.size() - tail.size(), 'd') + tail;
    ASSERT_EQ(request.size(), 1u << 20);
    EXPECT_EQ(exchange(request), std::string(kIdleStatus) + "\n");
}

TEST_F(RealPipe, SecondClientFindsThePipeBusy) {
    const UniqueHandle first = open_client();
    ASSERT_TRUE(first);
    DWORD error = 0;
    const UniqueHandle second = try_open_client(error);
    EXPECT_FALSE(second);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_PIPE_BUSY));

    ASSERT_TRUE(write_all(first.get(), kStatusRequest));
    EXPECT_EQ(read_reply(first.get()), std::string(kIdleStatus) + "\n");
}

TEST_F(RealPipe, SecondServerCannotCreateThePipe) {
    TestServer second(own_sid());
    ASSERT_TRUE(second.started());
    const std::string line = second.read_line();
    EXPECT_TRUE(line.starts_with("create_pipe failed: ")) << line;
    EXPECT_NE(line.find(" (os error "), std::string::npos) << line;
    EXPECT_EQ(second.exit_code(10000), 3u);
    // The first one still serves.
    EXPECT_EQ(exchange(kStatusRequest), std::string(kIdleStatus) + "\n");
}

TEST_F(RealPipe, StopFlagEndsTheLoop) {
    std::this_thread::sleep_for(200ms);  // into the idle poll
    const auto waited = server_->stop();
    ASSERT_TRUE(waited.has_value());
    EXPECT_EQ(server_->exit_code(10000), 0u);
    std::printf("serve returned %.1f ms after the stop flag was set\n",
                static_cast<double>(*waited) / 1000.0);
}

TEST_F(RealPipe, ThousandConnectionsLeaveNoHandleBehind) {
    constexpr int kWarmUp = 20;
    constexpr int kConnections = 1000;
    for (int i = 0; i < kWarmUp; ++i) {
        ASSERT_EQ(exchange(kStatusRequest), std::string(kIdleStatus) + "\n");
    }
    server_->send("handles");
    const std::string before = server_->read_line();
    for (int i = 0; i < kConnections; ++i) {
        // Every other one ends in a refusal, so that failure paths are counted too.
        const bool refused = i % 2 == 1;
        const std::string reply = exchange(refused ? "[]\n" : kStatusRequest);
        ASSERT_EQ(reply, refused ? error_line("Invalid request") : std::string(kIdleStatus) + "\n")
            << "connection " << i;
    }
    server_->send("handles");
    const std::string after = server_->read_line();
    std::printf(
        "server handles (system count, probed count): before \"%s\", after %d "
        "connections \"%s\"\n",
        before.c_str(), kConnections, after.c_str());
    ASSERT_TRUE(before.starts_with("handles "));
    EXPECT_EQ(before, after);
}

class OtherAccount : public RealPipe {
protected:
    void SetUp() override { start(kOtherSid); }
};

TEST_F(OtherAccount, CallerWhoIsNotTheOwnerIsRefused) {
    ASSERT_NE(own_sid(), kOtherSid);
    EXPECT_EQ(exchange(kStatusRequest), error_line("Caller SID is not the installation owner"));
}

}  // namespace
}  // namespace vemla::service
