// vemla-helper-client: status, connect and disconnect through the helper's pipe, for people and
// for demonstrations. Never part of the service.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "client_tool.h"
#include "helper_client/helper_request.h"
#include "helper_protocol/constants.h"
#include "win/registration_win.h"
#include "win32/system_random.h"
#include "win32/win32_text.h"

namespace {

namespace fs = std::filesystem;
using namespace vemla::tools;

constexpr std::size_t kMaxRequestFileBytes = vemla::helper_protocol::kMaxRequestBytes;

int complain(const std::string& text, int code) {
    std::fputs((text + "\n").c_str(), stderr);
    return code;
}

std::wstring environment(const wchar_t* name) {
    std::wstring value(32768, L'\0');
    const DWORD length = ::GetEnvironmentVariableW(name, value.data(), 32768);
    value.resize(length < 32768 ? length : 0);
    return value;
}

// Per user: the local application data folder, or the temporary folder without one.
fs::path session_file() {
    const std::wstring local = environment(L"LOCALAPPDATA");
    const fs::path base = local.empty() ? fs::temp_directory_path() : fs::path(local);
    return base / L"VemlaHelper" / L"client.session";
}

std::expected<std::string, std::string> new_session() {
    std::array<std::uint8_t, 32> bytes{};
    if (auto filled = vemla::win::fill_system_random(bytes); !filled) {
        return std::unexpected(std::move(filled.error()));
    }
    return session_from_random(bytes);
}

// The stored session, made and stored on first use.
std::expected<std::string, std::string> stored_session() {
    const fs::path file = session_file();
    std::string stored;
    std::getline(std::ifstream(file, std::ios::binary) >> std::ws, stored);
    if (is_session(stored.substr(0, 64))) {
        return stored.substr(0, 64);
    }
    auto session = new_session();
    if (!session) {
        return session;
    }
    std::error_code error;
    fs::create_directories(file.parent_path(), error);
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    if (!(out << *session << "\n") || !out.flush()) {
        return std::unexpected("cannot write the session file " +
                               vemla::win::to_utf8(file.wstring()));
    }
    return session;
}

std::expected<std::string, std::string> read_request_file(const std::string& name) {
    std::string text;
    if (name == "-") {
        _setmode(_fileno(stdin), _O_BINARY);
        text.assign(std::istreambuf_iterator<char>(std::cin), {});
    } else {
        std::ifstream in(fs::path(vemla::win::to_wide(name)), std::ios::binary);
        if (!in) {
            return std::unexpected("cannot read " + name);
        }
        text.assign(std::istreambuf_iterator<char>(in), {});
    }
    if (text.size() > kMaxRequestFileBytes) {
        return std::unexpected(name + " is larger than the helper accepts");
    }
    return text;
}

// The helper ends a connection when the process that started it ends, so `connect` stays until
// its user lets go: a line or the end of standard input. Then it disconnects and reports how.
int hold_connection(const ToolCommand& command, const std::string& session) {
    std::fputs("connected: press Enter, or end standard input, to disconnect\n", stderr);
    for (int c = std::getchar(); c != EOF && c != '\n'; c = std::getchar()) {
    }
    ToolCommand disconnect = command;
    disconnect.action = ToolAction::disconnect;
    const auto request = build_tool_request(disconnect, session, "");
    if (!request) {
        return complain(request.error(), kExitUsage);
    }
    const auto reply = vemla::helper_client::helper_request(
        *request, vemla::service::win::check_installed_service);
    if (!reply) {
        return complain(reply.error(), kExitRefused);
    }
    std::fputs(readable_reply(*reply).c_str(), stdout);
    return kExitDone;
}

int run(const std::vector<std::string>& arguments) {
    const auto command = parse_tool_arguments(arguments);
    if (!command) {
        return complain(command.error() + "\n" + std::string(tool_usage()), kExitUsage);
    }
    if (command->action == ToolAction::help) {
        std::fputs(std::string(tool_usage()).c_str(), stdout);
        return kExitDone;
    }
    const auto session = command->session
                             ? std::expected<std::string, std::string>(*command->session)
                             : stored_session();
    if (!session) {
        return complain(session.error(), kExitUsage);
    }
    std::string request_text;
    if (command->action == ToolAction::connect) {
        auto text = read_request_file(command->request_file);
        if (!text) {
            return complain(text.error(), kExitUsage);
        }
        request_text = std::move(*text);
    }
    const auto request = build_tool_request(*command, *session, request_text);
    if (!request) {
        return complain(request.error(), kExitUsage);
    }
    const auto reply = vemla::helper_client::helper_request(
        *request, vemla::service::win::check_installed_service);
    if (!reply) {
        return complain(reply.error(), kExitRefused);
    }
    std::fputs(readable_reply(*reply).c_str(), stdout);
    std::fflush(stdout);
    if (command->action == ToolAction::connect) {
        return hold_connection(*command, *session);
    }
    return kExitDone;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    // Russian messages from the helper, written as the UTF-8 they are, and every line feed as
    // itself rather than the C runtime's CR LF.
    ::SetConsoleOutputCP(CP_UTF8);
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i) {
        arguments.push_back(vemla::win::to_utf8(argv[i]));
    }
    const int code = run(arguments);
    std::fflush(stdout);
    return code;
}
