#pragma once

#include <cstdint>
#include <expected>
#include <string>

#include "json/json_text.h"
#include "tun_recovery/windows_networks.h"

namespace vemla::tun_recovery {

// How many candidates a recovery tries: one for every /30 block at the start of a /24 inside
// 172.16.0.0/12.
inline constexpr std::uint32_t kCandidateCount = 4096;

// Walks the candidates start, start + 1, ... (modulo 2^32) and returns a copy of the
// configuration whose one TUN inbound carries the first free candidate's adapter name
// ("VemlaVPN-" and eight lower-case hex digits) and address (a /30 with host part .1), or the
// message. Only a TUN inbound whose adapter name is one of the helper's own is moved.
std::expected<Json, std::string> choose_tun_adapter(const Json& configuration,
                                                    const NetworkInventory& inventory,
                                                    std::uint32_t start);

}  // namespace vemla::tun_recovery
