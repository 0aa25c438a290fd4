#pragma once

// The road of a start request from its configuration to the engine's document. The service and
// the offline tool both take it, so the tool's answer is the service's answer.

#include <filesystem>

#include "helper_protocol/rule_sources.h"
#include "xray_native/compiler_common.h"

namespace vemla::xray_native {

// A start request's configuration as the engine gets it: validated and normalised, with a rules
// map that holds every rule source the configuration names.
struct PreparedStart {
    Json config;
    Json rule_sources;
};

// Validation, then the rule sources. `config` and `rules` are the request's members (null when
// absent); the directories are the ones the normalised configuration names.
Result<PreparedStart> prepare_start(Json config, Json rules,
                                    const std::filesystem::path& install_dir,
                                    const std::filesystem::path& data_dir,
                                    const helper_protocol::BuiltInRuleSourceReader& read_built_in);

// The compile settings with the native API port, then the document.
Result<Json> compile_engine_document(const Json& config, const Json& rule_sources);

}  // namespace vemla::xray_native
