#pragma once

// Where the engine listens: the compile settings taken from the configuration, their checks, and
// the document's inbound list (the authenticated API inbound, TUN, the local SOCKS inbound and
// any additional loopback proxies of the configuration).

#include "xray_native/compiler_common.h"

namespace vemla::xray_native {

// The connectivity probe used by the observatory unless a URL-test group names its own.
inline constexpr const char* kDefaultProbeUrl = "https://www.gstatic.com/generate_204";

// Reads the settings out of the validated configuration. `rules_map` is borrowed: the returned
// settings point at it and must not outlive it.
Result<CompileSettings> extract_compile_settings(const Json& ir, const Json& rules_map);

// The checks every compilation runs on its settings before it builds anything.
Check check_compile_settings(const CompileSettings& settings);

// The sniffing object shared by every inbound except the API inbound.
Json sniffing_object();

// The document's `inbounds` array, in the order the engine is given them.
Result<Json> build_inbounds(const Json& ir, const CompileSettings& settings);

}  // namespace vemla::xray_native
