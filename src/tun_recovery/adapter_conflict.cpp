#include "tun_recovery/adapter_conflict.h"

#include <string>

#include "tun_recovery/lower_case.h"

namespace vemla::tun_recovery {

bool is_adapter_conflict(std::string_view text) {
    // The engine's message carries the system's error text, which is Russian on a Russian
    // Windows and may be capitalised in either script.
    const std::string lower = lower_case_utf8(text);
    const auto contains = [&lower](std::string_view part) {
        return lower.find(part) != std::string::npos;
    };
    // Both interface phrases contain "tun", and "object already exists" contains "already
    // exists": these two tests are the whole condition.
    return (contains("configure tun interface") || contains("create tun interface")) &&
           (contains("already exists") || contains("объект уже существует"));
}

}  // namespace vemla::tun_recovery
