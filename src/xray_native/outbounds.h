#pragma once

// One plain outbound of the configuration (not a group) as one Xray outbound named by its tag
// followed by "~".

#include "xray_native/compiler_common.h"

namespace vemla::xray_native {

Result<Json> translate_outbound(const Json& ir_outbound, const CompileSettings& settings);

}  // namespace vemla::xray_native
