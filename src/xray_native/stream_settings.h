#pragma once

// The `streamSettings` of one outbound: its transport, TLS or REALITY, taken from the
// configuration's `transport`, `tls` and `vemla_xray` members.

#include "xray_native/compiler_common.h"

namespace vemla::xray_native {

// A value that is not an object yields the plain TCP object without security.
Result<Json> build_stream_settings(const Json& ir_outbound, const CompileSettings& settings);

}  // namespace vemla::xray_native
