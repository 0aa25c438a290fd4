// The whole road of a start request from the bytes the pipe delivers to the bytes of the
// engine's document, as the offline tool takes it. Inputs that stop at the parser or the
// envelope are not kept: their few paths are covered by the seeds, and a corpus of start
// requests keeps the fuzzer's time on the checks behind them.

#include <cstddef>
#include <cstdint>
#include <filesystem>

#include "fuzz_support.h"
#include "helper_protocol/constants.h"
#include "helper_protocol/envelope.h"
#include "xray_native/start_request.h"

using namespace vemla;

namespace {
enum Step : std::size_t { kInput, kParsed, kStartRequest, kPrepared, kCompiled };
fuzz::Stages stages{"inputs", "parsed", "start-request", "prepared", "compiled"};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    stages.reached(kInput);
    auto request = fuzz::parse_input(data, size);
    if (!request) {
        return -1;
    }
    stages.reached(kParsed);
    if (auto envelope = helper_protocol::check_start_envelope(*request); !envelope) {
        fuzz::require_reply_fits(envelope.error());
        return -1;
    }
    stages.reached(kStartRequest);
    auto prepared = xray_native::prepare_start(
        fuzz::take_member(*request, "config"), fuzz::take_member(*request, "rules"),
        std::filesystem::path(helper_protocol::kDefaultInstallDirectory),
        std::filesystem::path(helper_protocol::kDefaultDataDirectory),
        fuzz::example_rule_sources());
    if (!prepared) {
        fuzz::require_reply_fits(prepared.error());
        return 0;
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
