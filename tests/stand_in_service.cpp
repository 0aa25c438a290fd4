// A stand-in for the helper service, run by the service control manager under Wine, so that the
// pipe client can be tested against a pipe that the running service really serves. Never
// installed.
//
// Started with one argument, a log file. It creates the pipe before it reports running, then
// serves one client at a time: it reads a request up to a line feed, answers according to the
// request's "op", waits up to 2 s for the client's acknowledgement and appends one line per
// connection to the log: "bytes=N ack=0|1 request=TEXT" (TEXT without its line feed).
//   status  {"ok":true,"running":false}
//   refuse  {"error":"Соединение принадлежит другой сессии","ok":false}
//   exact   an accepted reply of exactly 65536 bytes with its line feed
//   huge    a reply of 65537 bytes
//   silent  no reply; waits until the client lets go
#include <windows.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "helper_protocol/constants.h"
#include "json/json_text.h"
#include "win32/unique_object.h"
#include "win32/win32_text.h"

namespace {

using namespace std::chrono_literals;
using vemla::win::UniqueHandle;

SERVICE_STATUS_HANDLE status_handle = nullptr;
std::atomic<bool> stopping = false;

void report(DWORD state) {
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    status.dwWaitHint = state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0 : 10000;
    ::SetServiceStatus(status_handle, &status);
}

DWORD WINAPI handle_control(DWORD control, DWORD, void*, void*) {
    if (control == SERVICE_CONTROL_STOP) {
        stopping = true;
        report(SERVICE_STOP_PENDING);
    }
    return NO_ERROR;
}

// A reply of exactly `bytes` bytes, its line feed included.
std::string padded_reply(std::size_t bytes) {
    const std::string head = "{\"ok\":true,\"pad\":\"";
    const std::string tail = "\"}\n";
    return head + std::string(bytes - head.size() - tail.size(), 'p') + tail;
}

std::string reply_for(const std::string& op) {
    if (op == "refuse") {
        return "{\"error\":\"Соединение принадлежит другой сессии\",\"ok\":false}\n";
    }
    if (op == "exact") {
        return padded_reply(65536);
    }
    if (op == "huge") {
        return padded_reply(65537);
    }
    if (op == "silent") {
        return {};
    }
    return "{\"ok\":true,\"running\":false}\n";
}

enum class ReadResult { data, nothing, gone };

ReadResult read_some(HANDLE pipe, std::string& into) {
    char chunk[8192];
    DWORD got = 0;
    if (!::ReadFile(pipe, chunk, sizeof chunk, &got, nullptr)) {
        return ::GetLastError() == ERROR_NO_DATA ? ReadResult::nothing : ReadResult::gone;
    }
    into.append(chunk, got);
    return got == 0 ? ReadResult::nothing : ReadResult::data;
}

// Reads up to a line feed that ends what arrived, or until the client goes.
std::string read_request(HANDLE pipe) {
    std::string request;
    for (;;) {
        const ReadResult result = read_some(pipe, request);
        if (result == ReadResult::gone || stopping) {
            return request;
        }
        if (!request.empty() && request.back() == '\n') {
            return request;
        }
        if (result == ReadResult::nothing) {
            std::this_thread::sleep_for(5ms);
        }
    }
}

// Whether the acknowledgement came within 2 s; for a silent reply, waits for the client to go.
bool await_acknowledgement(HANDLE pipe, bool silent) {
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    std::string ack;
    while (!stopping && (silent || std::chrono::steady_clock::now() < deadline)) {
        const ReadResult result = read_some(pipe, ack);
        if (result == ReadResult::gone || !ack.empty()) {
            break;
        }
        std::this_thread::sleep_for(5ms);
    }
    return ack == "!";
}

void serve_one(HANDLE pipe, const std::wstring& log) {
    std::string request = read_request(pipe);
    const bool complete = !request.empty() && request.back() == '\n';
    const std::size_t bytes = request.size();
    std::string op;
    if (complete) {
        request.pop_back();
        if (const auto parsed = vemla::parse_json(request); parsed && parsed->is_object() &&
                                                            parsed->contains("op") &&
                                                            (*parsed)["op"].is_string()) {
            op = (*parsed)["op"].get<std::string>();
        }
        const std::string reply = reply_for(op);
        DWORD written = 0;
        if (!reply.empty()) {
            ::WriteFile(pipe, reply.data(), static_cast<DWORD>(reply.size()), &written, nullptr);
        }
    }
    const bool acknowledged = complete && await_acknowledgement(pipe, op == "silent");
    std::ofstream(std::filesystem::path(log), std::ios::binary | std::ios::app)
        << "bytes=" << bytes << " ack=" << (acknowledged ? 1 : 0) << " request=" << request << "\n";
}

void serve(HANDLE pipe, const std::wstring& log) {
    while (!stopping) {
        if (::ConnectNamedPipe(pipe, nullptr) || ::GetLastError() == ERROR_PIPE_CONNECTED ||
            ::GetLastError() == ERROR_NO_DATA) {
            serve_one(pipe, log);
            ::DisconnectNamedPipe(pipe);
            continue;
        }
        std::this_thread::sleep_for(10ms);
    }
}

void WINAPI service_main(DWORD argc, wchar_t** argv) {
    const std::wstring name = vemla::win::to_wide(vemla::helper_protocol::kServiceName);
    status_handle = ::RegisterServiceCtrlHandlerExW(name.c_str(), handle_control, nullptr);
    if (status_handle == nullptr) {
        return;
    }
    report(SERVICE_START_PENDING);
    const std::wstring pipe_name = vemla::win::to_wide(vemla::helper_protocol::kPipeName);
    const UniqueHandle pipe(::CreateNamedPipeW(
        pipe_name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_NOWAIT, 1, 1 << 20, 1 << 20, 0, nullptr));
    if (!pipe || argc < 2) {
        report(SERVICE_STOPPED);
        return;
    }
    report(SERVICE_RUNNING);
    serve(pipe.get(), argv[argc - 1]);
    report(SERVICE_STOPPED);
}

}  // namespace

int wmain() {
    std::wstring name = vemla::win::to_wide(vemla::helper_protocol::kServiceName);
    SERVICE_TABLE_ENTRYW table[] = {{name.data(), service_main}, {nullptr, nullptr}};
    return ::StartServiceCtrlDispatcherW(table) ? 0 : 1;
}
