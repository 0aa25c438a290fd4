#include "json/json_text.h"

#include <memory>

namespace vemla {
namespace {

// Finds the first place where brackets nest deeper than the cap, looking through strings.
// Returns the byte offset of the offending bracket, or npos.
std::size_t find_excess_nesting(std::string_view text) {
    std::size_t depth = 0;
    bool in_string = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (in_string) {
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                in_string = false;
            }
            continue;
        }
        switch (c) {
            case '"':
                in_string = true;
                break;
            case '[':
            case '{':
                if (++depth > kMaxJsonNesting) {
                    return i;
                }
                break;
            case ']':
            case '}':
                if (depth > 0) {
                    --depth;
                }
                break;
            default:
                break;
        }
    }
    return std::string_view::npos;
}

class CountingOutput final : public nlohmann::detail::output_adapter_protocol<char> {
public:
    void write_character(char) override { ++count_; }
    void write_characters(const char*, std::size_t length) override { count_ += length; }
    std::size_t count() const { return count_; }

private:
    std::size_t count_ = 0;
};

}  // namespace

std::expected<Json, std::string> parse_json(std::string_view text) {
    if (const std::size_t at = find_excess_nesting(text); at != std::string_view::npos) {
        return std::unexpected("parse error at byte " + std::to_string(at + 1) +
                               ": nesting deeper than " + std::to_string(kMaxJsonNesting) +
                               " levels");
    }
    try {
        return Json::parse(text);
    } catch (const Json::exception& e) {
        return std::unexpected(std::string(e.what()));
    }
}

std::string to_compact_json(const Json& value) {
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::size_t compact_json_size(const Json& value) {
    auto counter = std::make_shared<CountingOutput>();
    nlohmann::detail::serializer<Json> serializer(counter, ' ', Json::error_handler_t::replace);
    serializer.dump(value, false, false, 0);
    return counter->count();
}

}  // namespace vemla
