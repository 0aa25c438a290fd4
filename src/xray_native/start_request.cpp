#include "xray_native/start_request.h"

#include <utility>

#include "helper_protocol/constants.h"
#include "helper_protocol/validation.h"
#include "json/result.h"
#include "xray_native/compiler.h"
#include "xray_native/inbounds.h"

namespace vemla::xray_native {

Result<PreparedStart> prepare_start(Json config, Json rules,
                                    const std::filesystem::path& install_dir,
                                    const std::filesystem::path& data_dir,
                                    const helper_protocol::BuiltInRuleSourceReader& read_built_in) {
    auto validated = helper_protocol::validate_privileged_config(std::move(config), rules,
                                                                 install_dir, data_dir);
    if (!validated) {
        return failure_of(validated);
    }
    auto rule_sources =
        helper_protocol::collect_rule_sources(*validated, std::move(rules), read_built_in);
    if (!rule_sources) {
        return failure_of(rule_sources);
    }
    return PreparedStart{std::move(*validated), std::move(*rule_sources)};
}

Result<Json> compile_engine_document(const Json& config, const Json& rule_sources) {
    auto settings = extract_compile_settings(config, rule_sources);
    if (!settings) {
        return failure_of(settings);
    }
    settings->api_port = helper_protocol::kNativeApiPort;
    return compile_xray_document(config, *settings);
}

}  // namespace vemla::xray_native
