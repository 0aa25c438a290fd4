#pragma once

#include <string_view>

namespace vemla::tun_recovery {

// Whether the engine's exit message says that it could not create or configure its TUN
// interface because the adapter or its address already exists. Letter case does not matter, in
// any script.
bool is_adapter_conflict(std::string_view text);

}  // namespace vemla::tun_recovery
