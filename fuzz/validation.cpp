// Validation alone on a parsed request's `config` and `rules`: whatever it accepts, it accepts
// again unchanged, as its output is the canonical form.

#include <cstddef>
#include <cstdint>
#include <filesystem>

#include "fuzz_support.h"
#include "helper_protocol/constants.h"
#include "helper_protocol/validation.h"

using namespace vemla;

namespace {
enum Step : std::size_t { kInput, kParsed, kValidated };
fuzz::Stages stages{"inputs", "parsed", "validated"};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    stages.reached(kInput);
    auto request = fuzz::parse_input(data, size);
    if (!request) {
        return -1;
    }
    stages.reached(kParsed);
    const std::filesystem::path install(helper_protocol::kDefaultInstallDirectory);
    const std::filesystem::path data_dir(helper_protocol::kDefaultDataDirectory);
    const Json rules = fuzz::take_member(*request, "rules");
    auto validated = helper_protocol::validate_privileged_config(
        fuzz::take_member(*request, "config"), rules, install, data_dir);
    if (!validated) {
        fuzz::require_reply_fits(validated.error());
        return 0;
    }
    stages.reached(kValidated);
    const auto again =
        helper_protocol::validate_privileged_config(*validated, rules, install, data_dir);
    fuzz::require(again.has_value(), "a validated configuration validates again");
    fuzz::require(to_compact_json(*again) == to_compact_json(*validated),
                  "validation of its own output changes nothing");
    return 0;
}
