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
#include "request_envelope.h"
#include "win/pipe_win.h"
#include "win/win_process.h"
#include "win32/unique_object.h"
#include "win32/win32_text.h"

namespace vemla::service {

using namespace ::vemla::win;
namespace {

using namespace std::chrono_literals;

constexpr const char* kIdleStatus =
    R"({"adapter_recovered":false,"available":true,"connection_tracking_schema":1,)"
    R"("engine_error":null,"installed":true,"maintenance":false,"native_api_port":18970,)"
    R"("native_xray":true,"ok":true,"owned":false,"pid":null,"running":false,)"
    R"("version":"2.20.26"})";
constexpr const char* kStatusRequest = "{\"version\":1,\"op\":\"status\"}\n";
constexpr const char* kOtherSid = "S-1-5-21-1-2-3-1001";

std::string error_line(const std::string& text) {
    return to_compact_json(error_reply(text)) + "\n";
}

std::string own_sid() {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return {};
    }
    const UniqueHandle owner(token);
    return win::token_user_sid_text(token).value_or("");
}

std::filesystem::path server_path() {
    std::wstring path(MAX_PATH, L'\0');
    path.resize(::GetModuleFileNameW(nullptr, path.data(), MAX_PATH));
    return std::filesystem::path(path).parent_path() / L"vemla_pipe_test_server.exe";
}

// The test server as a child process, talked to through its standard input and output.
class TestServer {
public:
    explicit TestServer(const std::string& owner_sid) {
        SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        HANDLE input_read = nullptr, input_write = nullptr, output_read = nullptr,
               output_write = nullptr;
        ::CreatePipe(&input_read, &input_write, &inheritable, 0);
        ::CreatePipe(&output_read, &output_write, &inheritable, 0);
        const UniqueHandle child_input(input_read), child_output(output_write);
        input_.reset(input_write);
        output_.reset(output_read);
        ::SetHandleInformation(input_.get(), HANDLE_FLAG_INHERIT, 0);
        ::SetHandleInformation(output_.get(), HANDLE_FLAG_INHERIT, 0);

        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = child_input.get();
        startup.hStdOutput = child_output.get();
        startup.hStdError = child_output.get();
        std::wstring command = L"\"" + server_path().wstring() + L"\" " + to_wide(owner_sid);
        PROCESS_INFORMATION info{};
        if (::CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                             nullptr, nullptr, &startup, &info)) {
            process_.reset(info.hProcess);
            UniqueHandle thread(info.hThread);
        }
    }

    ~TestServer() {
        if (process_) {
            input_.reset();  // the end of its input stops the loop
            if (::WaitForSingleObject(process_.get(), 10000) != WAIT_OBJECT_0) {
                ::TerminateProcess(process_.get(), 1);
            }
        }
    }

    bool started() const { return static_cast<bool>(process_); }

    void send(const std::string& line) {
        const std::string text = line + "\n";
        DWORD written = 0;
        ::WriteFile(input_.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    }

    // The next line it writes; empty if none comes within 30 s.
    std::string read_line() {
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while (std::chrono::steady_clock::now() < deadline) {
            if (const auto end = pending_.find('\n'); end != std::string::npos) {
                std::string line = pending_.substr(0, end);
                pending_.erase(0, end + 1);
                if (line.ends_with('\r')) {  // its standard output is in text mode
                    line.pop_back();
                }
                return line;
            }
            DWORD available = 0;
            if (!::PeekNamedPipe(output_.get(), nullptr, 0, nullptr, &available, nullptr)) {
                break;
            }
            if (available == 0) {
                std::this_thread::sleep_for(5ms);
                continue;
            }
            std::string chunk(available, '\0');
            DWORD got = 0;
            ::ReadFile(output_.get(), chunk.data(), available, &got, nullptr);
            pending_.append(chunk.data(), got);
        }
        return {};
    }

    std::optional<DWORD> exit_code(DWORD wait_ms) {
        if (::WaitForSingleObject(process_.get(), wait_ms) != WAIT_OBJECT_0) {
            return std::nullopt;
        }
        DWORD code = 0;
        ::GetExitCodeProcess(process_.get(), &code);
        return code;
    }

    // Sets the stop flag and returns how long the loop took to return, in microseconds.
    std::optional<long long> stop() {
        send("stop");
        const std::string line = read_line();
        if (!line.starts_with("stopped ")) {
            return std::nullopt;
        }
        return std::stoll(line.substr(8));
    }

private:
    UniqueHandle process_;
    UniqueHandle input_;
    UniqueHandle output_;
    std::string pending_;
};

UniqueHandle try_open_client(DWORD& error) {
    const std::wstring name = to_wide(helper_protocol::kPipeName);
    UniqueHandle client(::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
    error = client ? ERROR_SUCCESS : ::GetLastError();
    return client;
}

// Opens the pipe, waiting while the server is still busy with the previous client.
UniqueHandle open_client() {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    DWORD error = 0;
    for (;;) {
        UniqueHandle client = try_open_client(error);
        if (client || std::chrono::steady_clock::now() >= deadline) {
            return client;
        }
        std::this_thread::sleep_for(5ms);
    }
}

bool write_all(HANDLE client, std::string_view bytes) {
    constexpr std::size_t kChunk = 1 << 20;
    while (!bytes.empty()) {
        const auto size = static_cast<DWORD>(std::min(bytes.size(), kChunk));
        DWORD written = 0;
        if (!::WriteFile(client, bytes.data(), size, &written, nullptr)) {
            return false;
        }
        bytes.remove_prefix(written);
    }
    return true;
}

// Everything up to and including the first line feed, or what came before the server let go.
std::string read_reply(HANDLE client) {
    std::string reply;
    char chunk[4096];
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(client, chunk, sizeof chunk, &got, nullptr) || got == 0) {
            return reply;
        }
        reply.append(chunk, got);
        if (reply.back() == '\n') {
            return reply;
        }
    }
}

std::size_t bytes_waiting(HANDLE client) {
    DWORD available = 0;
    ::PeekNamedPipe(client, nullptr, 0, nullptr, &available, nullptr);
    return available;
}

std::string exchange(std::string_view request) {
    const UniqueHandle client = open_client();
    if (!client || !write_all(client.get(), request)) {
        return "(no connection)";
    }
    return read_reply(client.get());
}

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
