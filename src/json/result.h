#pragma once

// What every operation of the helper returns: its result, or the one message that refuses the
// input. Messages travel upward unchanged; no exception crosses a module.

#include <expected>
#include <string>
#include <string_view>
#include <utility>

namespace vemla {

template <class T>
using Result = std::expected<T, std::string>;

// Success, or the message.
using Check = std::expected<void, std::string>;

// A failure with `message`, for a result of any type.
inline std::unexpected<std::string> fail(std::string_view message) {
    return std::unexpected(std::string(message));
}

// The failure of `result`, passed on to a caller whose result type may differ. The message is
// moved out: `result` is not read again.
template <class T>
std::unexpected<std::string> failure_of(Result<T>& result) {
    return std::unexpected(std::move(result.error()));
}

// The same, copying the message of a result the caller still reads.
template <class T>
std::unexpected<std::string> failure_of(const Result<T>& result) {
    return std::unexpected(result.error());
}

// Runs `steps` (each returning a Check) in order and stops at the first failure, which is the
// result; so the steps of a check read as a list.
template <class... Steps>
Check check_in_order(Steps&&... steps) {
    Check result;
    ((result ? void(result = steps()) : void()), ...);
    return result;
}

}  // namespace vemla
