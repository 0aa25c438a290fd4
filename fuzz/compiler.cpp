// The compiler alone, on the configurations that pass validation and the rule sources: inputs
// the validator refuses are not kept, so the corpus grows past it.

#include <cstddef>
#include <cstdint>
#include <filesystem>

#include "fuzz_support.h"
#include "helper_protocol/constants.h"
#include "xray_native/start_request.h"

using namespace vemla;

namespace {
enum Step : std::size_t { kInput, kPrepared, kCompiled };
fuzz::Stages stages{"inputs", "prepared", "compiled"};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    stages.reached(kInput);
    auto request = parse_json(fuzz::as_text(data, size));
    if (!request) {
        return -1;
    }
    auto prepared = xray_native::prepare_start(
        fuzz::take_member(*request, "config"), fuzz::take_member(*request, "rules"),
        std::filesystem::path(helper_protocol::kDefaultInstallDirectory),
        std::filesystem::path(helper_protocol::kDefaultDataDirectory),
        fuzz::example_rule_sources());
    if (!prepared) {
        return -1;
    }
    stages.reached(kPrepared);
    const auto document =
        xray_native::compile_engine_document(prepared->config, prepared->rule_sources);
    if (!document) {
        fuzz::require_reply_fits(document.error());
        return 0;
    }
    stages.reached(kCompiled);
    fuzz::require_engine_document(*document);
    return 0;
}
