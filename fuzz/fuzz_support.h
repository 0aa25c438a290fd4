#pragma once

// What the fuzz targets share: the built-in rule sources, the checks every result must pass, and
// the abort that tells libFuzzer (and the replay driver) that a check failed.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "helper_protocol/rule_sources.h"
#include "json/json_text.h"

namespace vemla::fuzz {

// How far the inputs of a run got, one count per step; printed at exit when the environment has
// VEMLA_FUZZ_STAGES, so that a run shows whether its inputs get past the parser.
class Stages {
public:
    Stages(std::initializer_list<std::string_view> names);
    ~Stages();
    Stages(const Stages&) = delete;
    Stages& operator=(const Stages&) = delete;
    void reached(std::size_t step) { ++counts_[step]; }

private:
    std::vector<std::string_view> names_;
    std::vector<std::uint64_t> counts_;
};

// Aborts with `what` unless `condition` holds.
void require(bool condition, std::string_view what);

std::string_view as_text(const std::uint8_t* data, std::size_t size);

// Reads the built-in rule sources kept under examples/rules, loaded once.
helper_protocol::BuiltInRuleSourceReader example_rule_sources();

// An example request under examples/, parsed.
Json example_request(std::string_view name);

// Parses a request the way the pipe hands it over, or a configuration document.
std::expected<Json, std::string> parse_input(const std::uint8_t* data, std::size_t size);

// A failure message must fit the error reply that carries it.
void require_reply_fits(const std::string& error);

// The engine's document must serialise to compact JSON that reads back as the same value, as
// the engine reads it from active.json.
void require_engine_document(const Json& document);

// The member `key` of `request` taken out of it, or null.
Json take_member(Json& request, std::string_view key);

}  // namespace vemla::fuzz
