#pragma once

#include <windows.h>

#include <expected>
#include <filesystem>
#include <string>
#include <vector>

#include "win32/unique_object.h"

namespace vemla::win {

// A child of the service: exactly these arguments, environment and standard handles, and no
// other handle of the service.
struct LaunchSpec {
    std::filesystem::path program;
    std::vector<std::string> arguments;       // UTF-8; each reaches the child unchanged
    std::filesystem::path working_directory;  // empty: the service's own
    std::vector<std::string> environment;     // "NAME=value", UTF-8; nothing is inherited
    HANDLE standard_input = nullptr;          // borrowed; the child gets duplicates
    HANDLE standard_output = nullptr;
    HANDLE standard_error = nullptr;
};

// A running child and the kill-on-close job that holds it: closing `job` ends the child and
// everything it started.
struct LaunchedProcess {
    UniqueHandle process;
    UniqueHandle thread;
    UniqueHandle job;
    DWORD pid = 0;
};

struct LaunchFailure {
    enum class Step { create, job, resume };
    Step step;
    std::string text;  // the operating system's error text (for resume, the status in hex)
};

// Creates the process suspended and without a window, puts it into a new kill-on-close job,
// then resumes the whole process. A failure after creation leaves no process behind: it is
// terminated and waited for before the failure is returned.
std::expected<LaunchedProcess, LaunchFailure> launch_in_job(const LaunchSpec& spec);

}  // namespace vemla::win
