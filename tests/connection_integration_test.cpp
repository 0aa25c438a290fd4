// Whole connections through the real pipe: the test server runs the service's start pipeline
// with the stand-in engine and the stand-in PowerShell in an installation made for each test.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "pipe_test_support.h"

namespace vemla::service {
namespace {

using namespace testing_support;
namespace fs = std::filesystem;

constexpr const char* kSession = "5e55105e55105e55105e55105e55105e55105e55105e55105e55105e55105e55";
constexpr const char* kOtherSession =
    "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
constexpr const char* kNotConfirmed = "Помощник не подтвердил запуск VPN вовремя";
constexpr const char* kTunConflict =
    "Failed to start: configure tun interface: Object already exists";

std::string read_text(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_text(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

Json parse_reply(const std::string& line) {
    auto reply = parse_json(line);
    return reply ? *reply : Json(line);
}

std::string request_line(const std::string& op, const std::string& session = kSession) {
    return R"({"op":")" + op + R"(","session":")" + session + R"(","version":1})" + "\n";
}

// A start request from the examples, as the client sends it (without the line feed).
std::string start_json(const fs::path& example, const std::string& session = kSession) {
    auto request = parse_json(read_text(example));
    if (!request) {
        return "(unreadable example)";
    }
    (*request)["session"] = session;
    return to_compact_json(*request);
}

std::string start_line(const fs::path& example, const std::string& session = kSession) {
    return start_json(example, session) + "\n";
}

// This process's SystemRoot, which the server shares.
std::string system_root() {
    wchar_t value[MAX_PATH] = {};
    const DWORD length = ::GetEnvironmentVariableW(L"SystemRoot", value, MAX_PATH);
    return vemla::win::to_utf8(std::wstring_view(value, length < MAX_PATH ? length : 0));
}

bool process_ended(DWORD pid, DWORD wait_ms = 5000) {
    const UniqueHandle process(::OpenProcess(SYNCHRONIZE, FALSE, pid));
    return !process || ::WaitForSingleObject(process.get(), wait_ms) == WAIT_OBJECT_0;
}

// A program's exit code and standard output, its standard error joined to the output.
struct ProgramRun {
    DWORD code = 0xFFFFFFFF;
    std::string output;
};

ProgramRun run_program(const std::wstring& command_line) {
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE read_end = nullptr, write_end = nullptr;
    ::CreatePipe(&read_end, &write_end, &inheritable, 0);
    UniqueHandle reader(read_end), writer(write_end);
    ::SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = write_end;
    startup.hStdError = write_end;
    std::wstring command = command_line;
    PROCESS_INFORMATION info{};
    ProgramRun run;
    if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                          nullptr, nullptr, &startup, &info)) {
        return run;
    }
    const UniqueHandle process(info.hProcess), thread(info.hThread);
    writer.reset();
    char chunk[65536];
    DWORD got = 0;
    while (::ReadFile(reader.get(), chunk, sizeof chunk, &got, nullptr) && got > 0) {
        run.output.append(chunk, got);
    }
    ::WaitForSingleObject(process.get(), INFINITE);
    ::GetExitCodeProcess(process.get(), &run.code);
    return run;
}

ProgramRun run_tool(const fs::path& rules, const fs::path& request) {
    return run_program(L"\"" + fs::path(VEMLA_TOOL_PATH).wstring() + L"\" --rules-dir \"" +
                       rules.wstring() + L"\" \"" + request.wstring() + L"\"");
}

// An installation of its own: the stand-in engine as xray.exe, a placeholder driver, the
// built-in rule sources, and a Windows directory holding the stand-in PowerShell, which the
// server's adapter recovery is pointed at (Wine resets SystemRoot in every process it starts).
class Connections : public testing::Test {
protected:
    void SetUp() override {
        std::random_device random;
        root_ = fs::temp_directory_path() / ("vemla-connections-" + std::to_string(random()));
        install_ = root_ / "Program Files" / "VemlaHelper";
        data_ = root_ / "ProgramData" / "VemlaHelper";
        windows_ = root_ / "Windows";
        const fs::path powershell = windows_ / "System32" / "WindowsPowerShell" / "v1.0";
        for (const fs::path& dir : {install_ / "rules", data_, powershell}) {
            fs::create_directories(dir);
        }
        fs::copy_file(VEMLA_STAND_IN_XRAY, install_ / "xray.exe");
        fs::copy_file(VEMLA_STAND_IN_POWERSHELL, powershell / "powershell.exe");
        write_text(install_ / "wintun.dll", "placeholder");
        for (const auto& entry : fs::directory_iterator(fs::path(VEMLA_EXAMPLES_DIR) / "rules")) {
            fs::copy_file(entry.path(), install_ / "rules" / entry.path().filename());
        }
        start_server();
    }

    void TearDown() override {
        server_.reset();
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    void start_server() {
        server_.emplace(own_sid(), std::vector<std::wstring>{install_.wstring(), data_.wstring(),
                                                             windows_.wstring()});
        ASSERT_TRUE(server_->started()) << last_error_text();
        ASSERT_EQ(server_->read_line(), "ready");
    }

    void behave(const std::string& behaviour) {
        write_text(install_ / "stand-in.behaviour", behaviour + "\n");
    }

    Json start(const fs::path& example = fs::path(VEMLA_EXAMPLES_DIR) / "vless-reality.json") {
        return parse_reply(exchange(start_line(example)));
    }
    Json send(const std::string& op, const std::string& session = kSession) {
        return parse_reply(exchange(request_line(op, session)));
    }
    // Polls the status until `done` holds for it, for at most 5 s.
    Json status_until(const std::function<bool(const Json&)>& done) {
        Json status;
        for (int i = 0; i < 250; ++i) {
            status = send("status");
            if (done(status)) {
                break;
            }
            std::this_thread::sleep_for(20ms);
        }
        return status;
    }
    DWORD engine_pid(const Json& reply) const {
        return reply.contains("pid") && reply["pid"].is_number_unsigned()
                   ? reply["pid"].get<DWORD>()
                   : 0;
    }
    std::vector<std::string> seen_lines(const std::string& prefix) const {
        std::vector<std::string> lines;
        std::istringstream seen(read_text(data_ / "stand-in.seen"));
        for (std::string line; std::getline(seen, line);) {
            if (line.ends_with('\r')) {
                line.pop_back();
            }
            if (line.starts_with(prefix)) {
                lines.push_back(line.substr(prefix.size()));
            }
        }
        return lines;
    }

    fs::path root_, install_, data_, windows_;
    std::optional<TestServer> server_;
};

TEST_F(Connections, StartRunsTheEngineOnWhatTheOfflineToolPrintsUntilStop) {
    const fs::path example = fs::path(VEMLA_EXAMPLES_DIR) / "vless-reality.json";
    const ProgramRun tool = run_tool(install_ / "rules", example);
    ASSERT_EQ(tool.code, 0u) << tool.output;

    const Json reply = start(example);

    ASSERT_EQ(reply["ok"], true) << reply;
    EXPECT_EQ(reply["running"], true);
    EXPECT_FALSE(reply.contains("owned"));
    const DWORD pid = engine_pid(reply);
    ASSERT_NE(pid, 0u);
    EXPECT_EQ(read_text(data_ / "active.json") + "\n", tool.output);
    EXPECT_EQ(seen_lines("arg "),
              (std::vector<std::string>{"run", "-c", utf8(data_ / "active.json")}));
    // Wine adds its own variables and SystemDrive to every process it starts.
    std::set<std::string> environment;
    for (const std::string& entry : seen_lines("env ")) {
        if (!entry.starts_with("WINE") && !entry.starts_with("SystemDrive=")) {
            environment.insert(entry);
        }
    }
    EXPECT_EQ(environment, (std::set<std::string>{"SystemRoot=" + system_root(),
                                                  "TEMP=" + utf8(data_), "TMP=" + utf8(data_),
                                                  "XRAY_LOCATION_ASSET=" + utf8(install_)}));
    EXPECT_EQ(send("status")["owned"], true);
    EXPECT_EQ(send("status", kOtherSession)["owned"], false);

    const Json stopped = send("stop");
    EXPECT_EQ(stopped["running"], false) << stopped;
    EXPECT_TRUE(process_ended(pid));
}

TEST_F(Connections, EngineThatDiesIsNoticedByTheNextStatus) {
    const Json reply = start();
    ASSERT_EQ(reply["ok"], true) << reply;
    write_text(install_ / "stand-in.exit", "7");

    const Json status = status_until([](const Json& s) { return s["running"] == false; });

    EXPECT_EQ(status["running"], false);
    EXPECT_TRUE(status["pid"].is_null());
    ASSERT_TRUE(status["engine_error"].is_string()) << status;
    EXPECT_TRUE(
        status["engine_error"].get<std::string>().starts_with("Движок завершился с кодом 7"))
        << status;
    EXPECT_EQ(status["owned"], false);
}

TEST_F(Connections, TunConflictOnTheFirstAttemptIsRecovered) {
    behave(std::string("exit-first 1 ") + kTunConflict);
    write_text(windows_ / "System32" / "WindowsPowerShell" / "v1.0" / "stand-in.behaviour",
               "answer\n");
    write_text(windows_ / "System32" / "WindowsPowerShell" / "v1.0" / "stand-in.answer",
               R"({"names":["VemlaVPN","Ethernet"],"networks":["172.19.0.1/30","0.0.0.0/0"]})");

    const Json reply = start();

    ASSERT_EQ(reply["ok"], true) << reply;
    EXPECT_EQ(reply["adapter_recovered"], true);
    const std::string document = read_text(data_ / "active.json");
    EXPECT_NE(document.find("\"VemlaVPN-"), std::string::npos);
    EXPECT_EQ(document.find("\"VemlaVPN\""), std::string::npos);
    EXPECT_EQ(document.find("172.19.0.1/30"), std::string::npos);
}

TEST_F(Connections, EngineThatNeverListensIsRefusedAndEnded) {
    behave("no-listen");
    const auto began = std::chrono::steady_clock::now();

    const Json reply = start();

    const auto waited = std::chrono::steady_clock::now() - began;
    EXPECT_EQ(reply, parse_reply(error_line(kNotConfirmed)));
    EXPECT_GE(waited, 10s);
    const auto pids = seen_lines("pid ");
    ASSERT_EQ(pids.size(), 1u);
    EXPECT_TRUE(process_ended(static_cast<DWORD>(std::stoul(pids[0])), 0));
    EXPECT_EQ(send("status")["running"], false);
}

TEST_F(Connections, ClosingTheJobEndsTheEnginesOwnChild) {
    behave("child");
    const Json reply = start();
    ASSERT_EQ(reply["ok"], true) << reply;
    std::string child;
    for (int i = 0; i < 250 && child.empty(); ++i) {
        child = read_text(data_ / "stand-in.child");
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_FALSE(child.empty());
    const auto child_pid = static_cast<DWORD>(std::stoul(child));
    EXPECT_FALSE(process_ended(child_pid, 0));

    EXPECT_EQ(send("stop")["ok"], true);

    EXPECT_TRUE(process_ended(engine_pid(reply)));
    EXPECT_TRUE(process_ended(child_pid));
}

TEST_F(Connections, ReservationBlocksStartUntilTheInstallerEnds) {
    TestProgram installer(own_directory() / L"vemla_pipe_test_client.exe",
                          {L"installer", vemla::win::to_wide(kOtherSession)});
    ASSERT_TRUE(installer.started());
    EXPECT_EQ(installer.read_line(), R"({"maintenance":true,"ok":true,"running":false})");
    EXPECT_EQ(installer.read_line(), "installer holds");
    EXPECT_EQ(send("status")["maintenance"], true);
    EXPECT_EQ(start(), parse_reply(error_line("Helper is reserved for an idle update")));

    installer.close_input();
    ASSERT_TRUE(installer.exit_code(10000).has_value());
    const Json status = status_until([](const Json& s) { return s["available"] == true; });
    EXPECT_EQ(status["available"], true);
    EXPECT_EQ(start()["ok"], true);
}

TEST_F(Connections, ClientThatEndsStopsTheConnection) {
    const std::wstring request = vemla::win::to_wide(platform::quote_windows_argument(
        start_json(fs::path(VEMLA_EXAMPLES_DIR) / "vless-reality.json")));
    const ProgramRun client =
        run_program(L"\"" + (own_directory() / L"vemla_pipe_test_client.exe").wstring() +
                    L"\" send " + request);
    const Json reply = parse_reply(client.output);
    ASSERT_EQ(reply["ok"], true) << client.output;

    const Json status = status_until([](const Json& s) { return s["running"] == false; });

    EXPECT_EQ(status["running"], false);
    EXPECT_TRUE(status["engine_error"].is_null());
    EXPECT_TRUE(process_ended(engine_pid(reply)));
}

// Every example the offline tool accepts starts with the tool's document; every request it
// refuses is refused with the tool's message.
TEST_F(Connections, ThePipeAnswersWhatTheOfflineToolAnswers) {
    std::vector<fs::path> requests;
    for (const auto& entry : fs::directory_iterator(VEMLA_EXAMPLES_DIR)) {
        if (entry.path().extension() == ".json") {
            requests.push_back(entry.path());
        }
    }
    const auto add_request = [&](const std::string& name, const std::string& text) {
        write_text(root_ / name, text);
        requests.push_back(root_ / name);
    };
    const std::string session = std::string(R"("session":")") + kSession + "\"";
    add_request("unknown-key.json", R"({"version":1,"op":"start","native_xray":true,)" + session +
                                        R"(,"config":{"bogus":1},"rules":{}})");
    add_request("no-rules.json",
                R"({"version":1,"op":"start","native_xray":true,)" + session + R"(,"config":{}})");
    Json quic = parse_json(read_text(fs::path(VEMLA_EXAMPLES_DIR) / "vless-reality.json")).value();
    quic["config"]["route"]["rules"][1]["protocol"] = Json::array({"dns", "quic"});
    add_request("dns-and-quic.json", to_compact_json(quic));
    // The selected DNS server as a "udp" server of each address: the tool's verdict is pinned
    // too, so that a pipe and a tool that both let a leaking address through do not agree.
    struct DnsServerCase {
        const char* file;
        const char* server;
        bool accepted;
    };
    const DnsServerCase dns_servers[] = {
        {"dns-https-local.json", "https+local://1.1.1.1/dns-query", false},
        {"dns-tcp-local.json", "tcp+local://1.1.1.1", false},
        {"dns-localhost.json", "localhost", false},
        {"dns-fakedns.json", "fakedns", false},
        {"dns-path.json", "1.1.1.1/x", false},
        {"dns-user.json", "a@b", false},
        {"dns-ipv4.json", "1.1.1.1", true},
        {"dns-ipv6.json", "2606:4700::1111", true},
        {"dns-name.json", "dns.google", true},
    };
    std::map<fs::path, std::string> verdicts;  // the tool's output; empty when it compiles
    for (const DnsServerCase& c : dns_servers) {
        Json request =
            parse_json(read_text(fs::path(VEMLA_EXAMPLES_DIR) / "vless-reality.json")).value();
        request["config"]["dns"]["servers"][0] =
            Json{{"tag", "dns-remote"}, {"type", "udp"}, {"server", c.server}, {"detour", "proxy"}};
        add_request(c.file, to_compact_json(request));
        verdicts[root_ / c.file] =
            c.accepted ? ""
                       : "Xray: DNS-сервер 0: server должен быть IP-адресом или именем хоста\r\n";
    }
    std::sort(requests.begin(), requests.end());

    for (const fs::path& request : requests) {
        SCOPED_TRACE(utf8(request.filename()));
        const ProgramRun tool = run_tool(install_ / "rules", request);
        const Json reply = parse_reply(exchange(start_line(request)));
        if (const auto verdict = verdicts.find(request); verdict != verdicts.end()) {
            EXPECT_EQ(tool.code, verdict->second.empty() ? 0u : 1u);
            if (!verdict->second.empty()) {
                EXPECT_EQ(tool.output, verdict->second);
            }
        }
        if (tool.code == 0) {
            ASSERT_EQ(reply["ok"], true) << reply;
            EXPECT_EQ(read_text(data_ / "active.json") + "\n", tool.output);
            EXPECT_EQ(send("stop")["running"], false);
        } else {
            ASSERT_EQ(tool.code, 1u) << tool.output;
            // The tool's standard error is text: its line ends in CR LF here.
            ASSERT_TRUE(tool.output.ends_with("\r\n")) << tool.output;
            EXPECT_EQ(reply,
                      parse_reply(error_line(tool.output.substr(0, tool.output.size() - 2))));
        }
    }
}

// The server's own handles and threads, after connections that started and stopped engines and
// connections whose engine failed.
TEST_F(Connections, StartsAndStopsLeaveNoHandleOrThreadBehind) {
    constexpr int kCycles = 100;
    ASSERT_EQ(start()["ok"], true);
    ASSERT_EQ(send("stop")["ok"], true);
    server_->send("handles");
    const std::string before = server_->read_line();

    for (int i = 0; i < kCycles; ++i) {
        const Json started = start();
        ASSERT_EQ(started["ok"], true) << "cycle " << i << ": " << started;
        ASSERT_EQ(send("stop")["running"], false) << "cycle " << i;
    }
    behave("exit 3 boom");
    for (int i = 0; i < kCycles; ++i) {
        ASSERT_EQ(start()["error"], "Движок завершился с кодом 3: boom") << "failure " << i;
    }
    server_->send("handles");
    const std::string after = server_->read_line();

    std::printf(
        "server (handles system/probed, threads): before \"%s\", after %d starts and %d "
        "failed starts \"%s\"\n",
        before.c_str(), kCycles, kCycles, after.c_str());
    ASSERT_TRUE(before.starts_with("handles "));
    EXPECT_EQ(before, after);
}

// From the request's last byte to the engine's creation (resumed right after), for the example.
TEST_F(Connections, TimeFromRequestToEngine) {
    const std::string line = start_line(fs::path(VEMLA_EXAMPLES_DIR) / "vless-reality.json");
    std::vector<double> figures;
    for (int i = 0; i < 20; ++i) {
        const UniqueHandle client = open_client();
        ASSERT_TRUE(client);
        ASSERT_TRUE(write_all(client.get(), line));
        FILETIME sent{};
        ::GetSystemTimePreciseAsFileTime(&sent);
        const Json reply = parse_reply(read_reply(client.get()));
        ASSERT_EQ(reply["ok"], true) << reply;
        const UniqueHandle engine(
            ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, engine_pid(reply)));
        FILETIME created{}, exited{}, kernel{}, user{};
        ASSERT_TRUE(::GetProcessTimes(engine.get(), &created, &exited, &kernel, &user));
        const auto ticks = [](FILETIME t) {
            return (static_cast<long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
        };
        figures.push_back(static_cast<double>(ticks(created) - ticks(sent)) / 10000.0);
        ASSERT_EQ(send("stop")["ok"], true);
    }
    std::sort(figures.begin(), figures.end());
    std::printf("request's last byte to engine created: median %.1f ms, max %.1f ms (20 starts)\n",
                figures[figures.size() / 2], figures.back());
}

}  // namespace
}  // namespace vemla::service
