#include "win32/launch.h"

#include <winternl.h>

#include <array>
#include <cstdio>

#include "platform/command_line.h"
#include "win32/win32_text.h"

namespace vemla::win {
namespace {

// Inheritable duplicates of the three standard handles; the child inherits these and nothing
// else.
struct InheritedHandles {
    std::array<UniqueHandle, 3> owned;
    std::array<HANDLE, 3> values{};
};

std::expected<InheritedHandles, std::string> duplicate_standard_handles(const LaunchSpec& spec) {
    InheritedHandles handles;
    const std::array<HANDLE, 3> sources{spec.standard_input, spec.standard_output,
                                        spec.standard_error};
    for (std::size_t i = 0; i < sources.size(); ++i) {
        HANDLE copy = nullptr;
        if (!::DuplicateHandle(::GetCurrentProcess(), sources[i], ::GetCurrentProcess(), &copy, 0,
                               TRUE, DUPLICATE_SAME_ACCESS)) {
            return std::unexpected(last_error_text());
        }
        handles.owned[i].reset(copy);
        handles.values[i] = copy;
    }
    return handles;
}

std::wstring environment_block(const std::vector<std::string>& environment) {
    std::wstring block;
    for (const std::string& entry : environment) {
        block += to_wide(entry);
        block.push_back(L'\0');
    }
    // An empty block still needs its two terminating characters.
    if (block.empty()) {
        block.push_back(L'\0');
    }
    block.push_back(L'\0');
    return block;
}

// The attribute list that limits inheritance to the given handles.
class HandleListAttribute {
public:
    explicit HandleListAttribute(std::array<HANDLE, 3>& handles) {
        SIZE_T size = 0;
        ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        storage_.resize(size / sizeof(void*) + 1);
        list_ = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data());
        initialised_ = ::InitializeProcThreadAttributeList(list_, 1, 0, &size) != FALSE;
        ready_ = initialised_ && ::UpdateProcThreadAttribute(
                                     list_, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles.data(),
                                     sizeof(HANDLE) * handles.size(), nullptr, nullptr);
    }
    HandleListAttribute(const HandleListAttribute&) = delete;
    HandleListAttribute& operator=(const HandleListAttribute&) = delete;
    // Only a list that was initialised may be deleted.
    ~HandleListAttribute() {
        if (initialised_) {
            ::DeleteProcThreadAttributeList(list_);
        }
    }

    bool ready() const { return ready_; }
    LPPROC_THREAD_ATTRIBUTE_LIST get() const { return list_; }

private:
    std::vector<void*> storage_;
    LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
    bool initialised_ = false;
    bool ready_ = false;
};

std::expected<LaunchedProcess, LaunchFailure> create_suspended(const LaunchSpec& spec) {
    const auto fail = [](std::string text) {
        return std::unexpected(LaunchFailure{LaunchFailure::Step::create, std::move(text)});
    };
    auto inherited = duplicate_standard_handles(spec);
    if (!inherited) {
        return fail(std::move(inherited.error()));
    }
    HandleListAttribute attribute(inherited->values);
    if (!attribute.ready()) {
        return fail(last_error_text());
    }
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = inherited->values[0];
    startup.StartupInfo.hStdOutput = inherited->values[1];
    startup.StartupInfo.hStdError = inherited->values[2];
    startup.lpAttributeList = attribute.get();

    const std::u8string program = spec.program.u8string();
    std::wstring command = to_wide(platform::windows_command_line(
        std::string(program.begin(), program.end()), spec.arguments));
    std::wstring environment = environment_block(spec.environment);
    const std::wstring directory = spec.working_directory.wstring();
    PROCESS_INFORMATION created{};
    if (!::CreateProcessW(spec.program.c_str(), command.data(), nullptr, nullptr, TRUE,
                          CREATE_SUSPENDED | CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT |
                              EXTENDED_STARTUPINFO_PRESENT,
                          environment.data(), directory.empty() ? nullptr : directory.c_str(),
                          &startup.StartupInfo, &created)) {
        return fail(last_error_text());
    }
    LaunchedProcess launched;
    launched.process.reset(created.hProcess);
    launched.thread.reset(created.hThread);
    launched.pid = created.dwProcessId;
    return launched;
}

std::expected<UniqueHandle, std::string> kill_on_close_job(HANDLE process) {
    UniqueHandle job(::CreateJobObjectW(nullptr, nullptr));
    if (!job) {
        return std::unexpected(last_error_text());
    }
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!::SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                                   sizeof limits) ||
        !::AssignProcessToJobObject(job.get(), process)) {
        return std::unexpected(last_error_text());
    }
    return job;
}

// Resumes every thread of the process at once, not only the primary one.
LONG resume_process(HANDLE process) {
    using ResumeProcess = LONG(NTAPI*)(HANDLE);
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    const auto resume = ntdll == nullptr ? nullptr
                                         : reinterpret_cast<ResumeProcess>(reinterpret_cast<void*>(
                                               ::GetProcAddress(ntdll, "NtResumeProcess")));
    return resume == nullptr ? static_cast<LONG>(0xC0000139) : resume(process);
}

void end_process(HANDLE process) {
    ::TerminateProcess(process, 1);
    ::WaitForSingleObject(process, INFINITE);
}

std::string status_text(LONG status) {
    char text[32];
    std::snprintf(text, sizeof text, "NTSTATUS 0x%08lX", static_cast<unsigned long>(status));
    return text;
}

}  // namespace

std::expected<LaunchedProcess, LaunchFailure> launch_in_job(const LaunchSpec& spec) {
    auto launched = create_suspended(spec);
    if (!launched) {
        return std::unexpected(std::move(launched.error()));
    }
    auto job = kill_on_close_job(launched->process.get());
    if (!job) {
        end_process(launched->process.get());
        return std::unexpected(LaunchFailure{LaunchFailure::Step::job, std::move(job.error())});
    }
    launched->job = std::move(*job);
    if (const LONG status = resume_process(launched->process.get()); status != 0) {
        end_process(launched->process.get());
        launched->job.reset();
        return std::unexpected(LaunchFailure{LaunchFailure::Step::resume, status_text(status)});
    }
    return std::move(*launched);
}

}  // namespace vemla::win
