// A rule source document as the service reads a built-in one from the installation: parsed,
// checked, then compiled into the rules of a configuration that names it.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "fuzz_support.h"
#include "helper_protocol/constants.h"
#include "helper_protocol/validation.h"
#include "xray_native/start_request.h"

using namespace vemla;

namespace {

// The example that blocks by the built-in `geosite-ads` and routes by a client rule set inside
// a logical rule.
struct Base {
    Json config;
    Json rules;
};

const Base& base() {
    static const Base prepared = [] {
        Json request = fuzz::example_request("groups-and-rule-sets.json");
        Json rules = fuzz::take_member(request, "rules");
        auto validated = helper_protocol::validate_privileged_config(
            fuzz::take_member(request, "config"), rules,
            std::filesystem::path(helper_protocol::kDefaultInstallDirectory),
            std::filesystem::path(helper_protocol::kDefaultDataDirectory));
        fuzz::require(validated.has_value(), "the example configuration validates");
        return Base{std::move(*validated), std::move(rules)};
    }();
    return prepared;
}

enum Step : std::size_t { kInput, kAccepted, kCompiled };
fuzz::Stages stages{"inputs", "accepted", "compiled"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    stages.reached(kInput);
    const std::string bytes(fuzz::as_text(data, size));
    auto rule_sources = helper_protocol::collect_rule_sources(
        base().config, base().rules,
        [&bytes](std::string_view) -> std::expected<std::string, std::string> { return bytes; });
    if (!rule_sources) {
        fuzz::require_reply_fits(rule_sources.error());
        // Text that is not JSON is not kept: the parser has its own target, and a corpus of
        // documents keeps the time on the checks behind it.
        return parse_json(bytes) ? 0 : -1;
    }
    stages.reached(kAccepted);
    const auto document = xray_native::compile_engine_document(base().config, *rule_sources);
    if (!document) {
        fuzz::require_reply_fits(document.error());
        return 0;
    }
    stages.reached(kCompiled);
    fuzz::require_engine_document(*document);
    return 0;
}
