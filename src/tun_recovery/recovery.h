#pragma once
// TEMPORARY placeholder until the adapter recovery lands.
#include <string_view>
namespace vemla::tun_recovery {
inline bool is_adapter_conflict(std::string_view text) {
    return text.find("tun") != std::string_view::npos && text.find("already exists") != std::string_view::npos;
}
}  // namespace vemla::tun_recovery
