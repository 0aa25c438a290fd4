#pragma once

// The configuration compiler: the validated configuration and its compile settings in, the
// engine's document or exactly one message out. It reads nothing but its arguments.

#include "xray_native/compiler_common.h"

namespace vemla::xray_native {

Result<Json> compile_xray_document(const Json& ir, const CompileSettings& settings);

}  // namespace vemla::xray_native
