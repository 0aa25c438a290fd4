#include "fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <utility>

#include "helper_protocol/constants.h"
#include "helper_protocol/validation.h"

namespace vemla::fuzz {

Stages::Stages(std::initializer_list<std::string_view> names)
    : names_(names), counts_(names.size(), 0) {}

Stages::~Stages() {
    if (std::getenv("VEMLA_FUZZ_STAGES") == nullptr || counts_.empty() || counts_[0] == 0) {
        return;
    }
    std::string line = "stages:";
    for (std::size_t i = 0; i < names_.size(); ++i) {
        const double share =
            100.0 * static_cast<double>(counts_[i]) / static_cast<double>(counts_[0]);
        line += " " + std::string(names_[i]) + " " + std::to_string(counts_[i]) + " (" +
                std::to_string(static_cast<int>(share + 0.5)) + "%)";
    }
    std::fprintf(stderr, "%s\n", line.c_str());
}

void require(bool condition, std::string_view what) {
    if (!condition) {
        std::fprintf(stderr, "fuzz check failed: %.*s\n", static_cast<int>(what.size()),
                     what.data());
        std::abort();
    }
}

std::string_view as_text(const std::uint8_t* data, std::size_t size) {
    return size == 0 ? std::string_view()
                     : std::string_view(reinterpret_cast<const char*>(data), size);
}

helper_protocol::BuiltInRuleSourceReader example_rule_sources() {
    static const std::map<std::string, std::string, std::less<>> sources = [] {
        std::map<std::string, std::string, std::less<>> loaded;
        for (const std::string_view tag : helper_protocol::kBuiltInRuleSources) {
            const std::string path =
                std::string(VEMLA_EXAMPLES_DIR) + "/rules/" + std::string(tag) + ".json";
            std::ifstream file(path, std::ios::binary);
            require(file.good(), "the example rule sources are readable");
            loaded.emplace(tag, std::string{std::istreambuf_iterator<char>(file),
                                            std::istreambuf_iterator<char>()});
        }
        return loaded;
    }();
    return [](std::string_view tag) -> std::expected<std::string, std::string> {
        const auto found = sources.find(tag);
        require(found != sources.end(), "only built-in rule sources are read");
        return found->second;
    };
}

Json example_request(std::string_view name) {
    const std::string path = std::string(VEMLA_EXAMPLES_DIR) + "/" + std::string(name);
    std::ifstream file(path, std::ios::binary);
    auto parsed = parse_json(
        std::string{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()});
    require(parsed.has_value(), "the example request parses");
    return std::move(*parsed);
}

std::expected<Json, std::string> parse_input(const std::uint8_t* data, std::size_t size) {
    auto parsed = parse_json(as_text(data, size));
    if (!parsed) {
        require(parsed.error().size() <= kMaxParseErrorBytes, "a parse error is bounded");
        require_reply_fits(parsed.error());
    }
    return parsed;
}

void require_reply_fits(const std::string& error) {
    // The error reply's members, and the line feed that frames it.
    const Json reply{{"error", error}, {"ok", false}};
    require(compact_json_size(reply) + 1 <= helper_protocol::kMaxReplyBytes,
            "an error reply fits the reply limit");
}

void require_engine_document(const Json& document) {
    require(document.is_object(), "the engine's document is an object");
    const std::string text = to_compact_json(document);
    require(compact_json_size(document) == text.size(), "the counted size is the written size");
    const auto read_back = parse_json(text);
    require(read_back.has_value(), "the written document parses");
    require(*read_back == document && to_compact_json(*read_back) == text,
            "the written document reads back as the same value");
}

Json take_member(Json& request, std::string_view key) {
    if (!request.is_object()) {
        return Json();
    }
    const auto found = request.find(key);
    return found == request.end() ? Json() : std::move(*found);
}

}  // namespace vemla::fuzz
