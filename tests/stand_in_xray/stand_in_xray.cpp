// A stand-in for the engine, xray.exe, where the real one is not at hand (the Wine tests). It
// keeps the engine's outward contract: `run -c PATH`, a start line on standard output once the
// loopback port of the API inbound "vemla-api-in" listens, an exit code. It records what it was
// given and can be told to misbehave, so tests can check how the service launches and watches
// it. It is never installed.
//
// Files beside the executable steer it:
//   stand-in.behaviour  what to do, one directive a line, blank lines ignored; missing: normal
//   stand-in.exit       a decimal exit code: once it appears, the stand-in removes it, writes a
//                       last log line and exits with that code (looked for every 20 ms)
//   stand-in.runs       how many times it has been run, kept by itself
// The directives, at most one behaviour and any number of probes:
//   normal                  listen on the port, then write the start line; live until asked
//   exit CODE [TEXT]        write TEXT, as it is, as a line to standard error; exit with CODE
//   exit-first CODE [TEXT]  exit as above on the first run of this executable, later normal
//   no-listen               write the start line but never listen; live until asked
//   invalid-utf8            write a line holding bytes that are not UTF-8, then normal
//   hang                    write nothing and never listen; live until asked
//   child                   start a child that sleeps (itself, `xray.exe sleep`), then normal
//   probe-handle VALUE      report whether the decimal handle VALUE names an object here
// CODE is a signed or unsigned 32-bit decimal: -1073741819 and 3221225477 are the same code.
// Files it writes in the directory of PATH (the data directory):
//   stand-in.seen       what it was given, one entry per line: `pid N`, `cwd DIR`, `arg TEXT`
//                       per argument, `env NAME=value` per entry of its environment block, and
//                       `handle VALUE absent` or `handle VALUE present [NAME]` per probe
//   stand-in.child      with behaviour `child`: the decimal process id of its child
// Anything but `run -c PATH` (or `sleep`) gets a usage line on standard error and exit code 23.
// A broken stand-in.behaviour or document, or a port it cannot listen on, gets a line beginning
// "Failed to start: stand-in: " there and the same code. A stand-in that nobody ends exits by
// itself after 5 minutes, with that code too.
#include <windows.h>

#include <shellapi.h>
#include <winsock2.h>
#include <winternl.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "json/json_text.h"
#include "platform/command_line.h"
#include "win32/unique_object.h"
#include "win32/win32_text.h"

namespace {

using vemla::win::to_utf8;
using vemla::win::to_wide;
using vemla::win::UniqueHandle;
using vemla::win::UniqueLocal;
namespace fs = std::filesystem;

// Usage errors and every failure of the stand-in itself; the engine uses the same code when
// it cannot start.
constexpr UINT kFailureExit = 23;
constexpr DWORD kPollMs = 20;
constexpr DWORD kBindWaitMs = 3000;
// A stand-in that a broken test left behind ends by itself: under Wine it holds the test
// runner's output open, and the whole test run would wait for it.
constexpr ULONGLONG kLifetimeMs = 5 * 60 * 1000;
constexpr std::string_view kVersion = "26.9.30";

struct SocketTraits {
    using Value = SOCKET;
    static Value empty() { return INVALID_SOCKET; }
    static bool is_valid(Value value) { return value != INVALID_SOCKET; }
    static void close(Value value) { ::closesocket(value); }
};
using UniqueSocket = vemla::win::UniqueObject<SocketTraits>;

struct EnvironmentTraits {
    using Value = wchar_t*;
    static Value empty() { return nullptr; }
    static bool is_valid(Value value) { return value != nullptr; }
    static void close(Value value) { ::FreeEnvironmentStringsW(value); }
};
using UniqueEnvironment = vemla::win::UniqueObject<EnvironmentTraits>;

enum class Mode { normal, exit, exit_first, no_listen, invalid_utf8, hang, child };

struct Behaviour {
    Mode mode = Mode::normal;
    UINT exit_code = 0;
    std::string text;                 // for exit and exit-first: the line written before exiting
    std::vector<std::string> probes;  // handle values, as written
};

std::string timestamp() {
    SYSTEMTIME now{};
    ::GetLocalTime(&now);
    char text[40];
    std::snprintf(text, sizeof text, "%04u/%02u/%02u %02u:%02u:%02u.%06u", now.wYear, now.wMonth,
                  now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds * 1000u);
    return text;
}

// The streams are files: every line goes out at once in one write, nothing is buffered.
void write_line(HANDLE stream, std::string_view text) {
    std::string line(text);
    line.push_back('\n');
    DWORD written = 0;
    ::WriteFile(stream, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

void log_line(HANDLE stream, std::string_view level, std::string_view text) {
    write_line(stream, timestamp() + " [" + std::string(level) + "] " + std::string(text));
}

[[noreturn]] void fail(std::string_view text) {
    write_line(::GetStdHandle(STD_ERROR_HANDLE), "Failed to start: stand-in: " + std::string(text));
    ::ExitProcess(kFailureExit);
}

std::optional<std::string> read_file(const fs::path& path) {
    const UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return std::nullopt;
    }
    std::string content;
    char chunk[4096];
    DWORD got = 0;
    while (::ReadFile(file.get(), chunk, sizeof chunk, &got, nullptr) && got > 0) {
        content.append(chunk, got);
    }
    return content;
}

// Written beside and moved into place, so a reader never sees half of it.
void write_file(const fs::path& path, std::string_view content) {
    fs::path partial = path;
    partial += L".partial";
    {
        const UniqueHandle file(::CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr,
                                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        if (!file || !::WriteFile(file.get(), content.data(), static_cast<DWORD>(content.size()),
                                  &written, nullptr)) {
            fail("cannot write " + to_utf8(partial.wstring()) + ": " +
                 vemla::win::last_error_text());
        }
    }
    if (!::MoveFileExW(partial.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        fail("cannot write " + to_utf8(path.wstring()) + ": " + vemla::win::last_error_text());
    }
}

std::string_view trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

std::optional<UINT> parse_exit_code(std::string_view text) {
    long long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size() || value < INT32_MIN ||
        value > UINT32_MAX) {
        return std::nullopt;
    }
    return value < 0 ? static_cast<UINT>(static_cast<std::int32_t>(value))
                     : static_cast<UINT>(value);
}

std::expected<Behaviour, std::string> parse_behaviour(std::string_view content) {
    Behaviour behaviour;
    bool named = false;
    while (!content.empty()) {
        const auto end = content.find('\n');
        const std::string_view line = trim(content.substr(0, end));
        content.remove_prefix(end == std::string_view::npos ? content.size() : end + 1);
        if (line.empty()) {
            continue;
        }
        const auto space = line.find(' ');
        const std::string_view word = line.substr(0, space);
        const std::string_view rest =
            space == std::string_view::npos ? std::string_view{} : line.substr(space + 1);
        if (word == "probe-handle") {
            behaviour.probes.emplace_back(trim(rest));
            continue;
        }
        if (named) {
            return std::unexpected("more than one behaviour");
        }
        named = true;
        static constexpr std::pair<std::string_view, Mode> kModes[] = {
            {"normal", Mode::normal},
            {"exit", Mode::exit},
            {"exit-first", Mode::exit_first},
            {"no-listen", Mode::no_listen},
            {"invalid-utf8", Mode::invalid_utf8},
            {"hang", Mode::hang},
            {"child", Mode::child}};
        const auto* found =
            std::ranges::find(kModes, word, &std::pair<std::string_view, Mode>::first);
        if (found == std::ranges::end(kModes)) {
            return std::unexpected("unknown behaviour " + std::string(word));
        }
        behaviour.mode = found->second;
        if (behaviour.mode != Mode::exit && behaviour.mode != Mode::exit_first) {
            if (!rest.empty()) {
                return std::unexpected(std::string(word) + " takes no arguments");
            }
            continue;
        }
        // The text after the code is kept as it is, inner spaces included.
        const auto code_end = rest.find(' ');
        const auto code = parse_exit_code(rest.substr(0, code_end));
        if (!code) {
            return std::unexpected(std::string(word) + " needs a decimal exit code");
        }
        behaviour.exit_code = *code;
        behaviour.text = code_end == std::string_view::npos
                             ? std::string{}
                             : std::string(rest.substr(code_end + 1));
    }
    return behaviour;
}

fs::path own_path() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

// 1 for the first run of this executable file, 2 for the second, and so on.
unsigned count_run(const fs::path& counter) {
    unsigned runs = 0;
    if (const auto text = read_file(counter)) {
        const std::string_view digits = trim(*text);
        std::from_chars(digits.data(), digits.data() + digits.size(), runs);
    }
    ++runs;
    write_file(counter, std::to_string(runs));
    return runs;
}

std::string handle_report(const std::string& value_text) {
    std::uintptr_t value = 0;
    const auto [end, error] =
        std::from_chars(value_text.data(), value_text.data() + value_text.size(), value);
    if (error != std::errc{} || end != value_text.data() + value_text.size()) {
        fail("probe-handle needs a decimal handle value, not " + value_text);
    }
    const auto handle = reinterpret_cast<HANDLE>(value);
    DWORD flags = 0;
    if (!::GetHandleInformation(handle, &flags)) {
        return "handle " + value_text + " absent";
    }
    // The name tells an inherited object from one of the stand-in's own that happens to sit
    // at the same value.
    alignas(OBJECT_NAME_INFORMATION) unsigned char buffer[4096];
    ULONG length = 0;
    std::string report = "handle " + value_text + " present";
    if (::NtQueryObject(handle, ObjectNameInformation, buffer, sizeof buffer, &length) == 0) {
        const auto* name = reinterpret_cast<const OBJECT_NAME_INFORMATION*>(buffer);
        if (name->Name.Length > 0) {
            report += " " + to_utf8(std::wstring_view(name->Name.Buffer,
                                                      name->Name.Length / sizeof(wchar_t)));
        }
    }
    return report;
}

void write_seen(const fs::path& path, const std::vector<std::string>& arguments,
                const Behaviour& behaviour) {
    std::string seen = "pid " + std::to_string(::GetCurrentProcessId()) + "\n";
    seen += "cwd " + to_utf8(fs::current_path().wstring()) + "\n";
    for (const std::string& argument : arguments) {
        seen += "arg " + argument + "\n";
    }
    const UniqueEnvironment environment(::GetEnvironmentStringsW());
    for (const wchar_t* entry = environment.get(); entry != nullptr && *entry != L'\0';) {
        const std::wstring_view text(entry);
        seen += "env " + to_utf8(text) + "\n";
        entry += text.size() + 1;
    }
    for (const std::string& probe : behaviour.probes) {
        seen += handle_report(probe) + "\n";
    }
    write_file(path, seen);
}

std::uint16_t api_port(const fs::path& document_path) {
    const auto text = read_file(document_path);
    if (!text) {
        fail("cannot read " + to_utf8(document_path.wstring()));
    }
    const auto document = vemla::parse_json(*text);
    if (!document) {
        fail("the configuration is not JSON: " + document.error());
    }
    const auto inbounds = document->find("inbounds");
    if (inbounds != document->end() && inbounds->is_array()) {
        for (const vemla::Json& inbound : *inbounds) {
            if (!inbound.is_object() || inbound.value("tag", vemla::Json()) != "vemla-api-in") {
                continue;
            }
            const auto port = inbound.find("port");
            if (port == inbound.end() || !vemla::is_non_negative_integer(*port) ||
                port->get<std::uint64_t>() == 0 || port->get<std::uint64_t>() > 65535) {
                fail("the API inbound has no port");
            }
            return static_cast<std::uint16_t>(port->get<std::uint64_t>());
        }
    }
    fail("no inbound tagged vemla-api-in");
}

// Accepts and at once drops every connection, resetting it so that no closed connection
// lingers on the port and keeps the next run from binding it.
void listen_on_loopback(std::uint16_t port) {
    WSADATA data{};
    if (::WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        fail("no Winsock");
    }
    UniqueSocket listener(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = ::htons(port);
    address.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
    const auto bind_error = [&]() -> int {
        return ::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address),
                      sizeof address) == 0
                   ? 0
                   : ::WSAGetLastError();
    };
    // Under Wine the engine ended just before (its job closed) may keep the port for a moment
    // after it is reported ended, on a loaded machine; a real engine starts long after. Waiting
    // a little keeps the tests from failing on that.
    int error = listener ? bind_error() : ::WSAGetLastError();
    for (DWORD waited = 0; error == WSAEADDRINUSE && waited < kBindWaitMs; waited += kPollMs) {
        ::Sleep(kPollMs);
        error = bind_error();
    }
    if (error == 0 && ::listen(listener.get(), SOMAXCONN) != 0) {
        error = ::WSAGetLastError();
    }
    if (error != 0) {
        fail("cannot listen on 127.0.0.1:" + std::to_string(port) + ": " +
             vemla::win::os_error_text(static_cast<DWORD>(error)));
    }
    std::thread([listener = std::move(listener)] {
        for (;;) {
            UniqueSocket connection(::accept(listener.get(), nullptr, nullptr));
            if (!connection) {
                ::Sleep(kPollMs);
                continue;
            }
            const linger reset{1, 0};
            ::setsockopt(connection.get(), SOL_SOCKET, SO_LINGER,
                         reinterpret_cast<const char*>(&reset), sizeof reset);
        }
    }).detach();
}

// The child of behaviour `child`: the stand-in itself, sleeping. It leaves the job only by
// being ended with it.
DWORD start_sleeper(const fs::path& self) {
    const std::u8string program = self.u8string();
    std::wstring command = to_wide(vemla::platform::windows_command_line(
        std::string(program.begin(), program.end()), {"sleep"}));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION created{};
    if (!::CreateProcessW(self.c_str(), command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                          nullptr, nullptr, &startup, &created)) {
        fail("cannot start a child: " + vemla::win::last_error_text());
    }
    const UniqueHandle process(created.hProcess), thread(created.hThread);
    return created.dwProcessId;
}

[[noreturn]] void wait_for_exit_request(const fs::path& request, HANDLE log) {
    const ULONGLONG deadline = ::GetTickCount64() + kLifetimeMs;
    while (::GetTickCount64() < deadline) {
        // An empty file may be one that its writer has created but not yet filled.
        if (const auto text = read_file(request); text && !trim(*text).empty()) {
            const auto code = parse_exit_code(trim(*text));
            if (!code) {
                fail("stand-in.exit holds no exit code");
            }
            ::DeleteFileW(request.c_str());
            log_line(log, "Warning", "stand-in: asked to exit with code " + std::to_string(*code));
            ::ExitProcess(*code);
        }
        ::Sleep(kPollMs);
    }
    log_line(
        log, "Warning",
        "stand-in: not asked to exit within " + std::to_string(kLifetimeMs / 60000) + " minutes");
    ::ExitProcess(kFailureExit);
}

[[noreturn]] void run(const fs::path& document_path, const std::vector<std::string>& arguments) {
    const fs::path self = own_path();
    const fs::path own_directory = self.parent_path();
    const fs::path data_directory = document_path.parent_path();
    const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);

    Behaviour behaviour;
    if (const auto text = read_file(own_directory / L"stand-in.behaviour")) {
        auto parsed = parse_behaviour(*text);
        if (!parsed) {
            fail("stand-in.behaviour: " + parsed.error());
        }
        behaviour = std::move(*parsed);
    }
    const unsigned run_number = count_run(own_directory / L"stand-in.runs");
    write_seen(data_directory / L"stand-in.seen", arguments, behaviour);

    if (behaviour.mode == Mode::exit || (behaviour.mode == Mode::exit_first && run_number == 1)) {
        if (!behaviour.text.empty()) {
            write_line(::GetStdHandle(STD_ERROR_HANDLE), behaviour.text);
        }
        ::ExitProcess(behaviour.exit_code);
    }
    if (behaviour.mode != Mode::hang) {
        const std::uint16_t port = api_port(document_path);
        if (behaviour.mode == Mode::child) {
            write_file(data_directory / L"stand-in.child", std::to_string(start_sleeper(self)));
        }
        if (behaviour.mode == Mode::invalid_utf8) {
            // A lone continuation byte, a truncated sequence and a byte UTF-8 never uses.
            write_line(out, timestamp() + " [Warning] stand-in: \x80 \xE2\x82 \xFF");
        }
        if (behaviour.mode != Mode::no_listen) {
            listen_on_loopback(port);
        }
        log_line(out, "Warning", "core: Xray " + std::string(kVersion) + " started");
    }
    wait_for_exit_request(own_directory / L"stand-in.exit", out);
}

std::vector<std::string> own_arguments() {
    int count = 0;
    const UniqueLocal owner(::CommandLineToArgvW(::GetCommandLineW(), &count));
    const auto* arguments = static_cast<wchar_t**>(owner.get());
    std::vector<std::string> result;
    for (int i = 1; arguments != nullptr && i < count; ++i) {
        result.push_back(to_utf8(arguments[i]));
    }
    return result;
}

}  // namespace

int main() {
    const std::vector<std::string> arguments = own_arguments();
    if (arguments.size() == 1 && arguments[0] == "sleep") {
        ::Sleep(static_cast<DWORD>(kLifetimeMs));
        return 0;
    }
    if (arguments.size() != 3 || arguments[0] != "run" || arguments[1] != "-c" ||
        arguments[2].empty()) {
        write_line(::GetStdHandle(STD_ERROR_HANDLE), "usage: xray run -c <config.json>");
        return static_cast<int>(kFailureExit);
    }
    run(fs::path(to_wide(arguments[2])), arguments);
}
