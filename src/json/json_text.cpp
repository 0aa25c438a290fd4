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

// The length of the longest start of `text`, at most `limit` bytes, that does not end inside a
// UTF-8 sequence.
std::size_t utf8_prefix_length(std::string_view text, std::size_t limit) {
    if (text.size() <= limit) {
        return text.size();
    }
    std::size_t end = limit;
    for (int back = 0;
         back < 3 && end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80; ++back) {
        --end;
    }
    return end;
}

// The parser's message with its quote of the input cut to fit kMaxParseErrorBytes. What the
// parser says before the quote (where and why) and after it (what it expected) is kept; a
// message of another shape is cut at its end.
std::string bounded_parse_error(std::string message) {
    if (message.size() <= kMaxParseErrorBytes) {
        return message;
    }
    constexpr std::string_view kCutMark = "...";
    constexpr std::string_view kQuoteStart = "; last read: '";
    constexpr std::string_view kExpected = "'; expected ";
    const std::string_view text = message;
    std::string_view head;
    std::string_view quote = text;
    std::string_view tail;
    if (const std::size_t start = text.find(kQuoteStart); start != std::string_view::npos) {
        const std::size_t quote_begin = start + kQuoteStart.size();
        std::size_t quote_end = text.rfind(kExpected);
        if (quote_end == std::string_view::npos || quote_end < quote_begin) {
            quote_end = text.back() == '\'' ? text.size() - 1 : text.size();
        }
        if (quote_begin + (text.size() - quote_end) + kCutMark.size() < kMaxParseErrorBytes) {
            head = text.substr(0, quote_begin);
            quote = text.substr(quote_begin, quote_end - quote_begin);
            tail = text.substr(quote_end);
        }
    }
    const std::size_t budget = kMaxParseErrorBytes - head.size() - tail.size() - kCutMark.size();
    std::string bounded(head);
    bounded.append(quote.substr(0, utf8_prefix_length(quote, budget)));
    bounded.append(kCutMark);
    bounded.append(tail);
    return bounded;
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
        return std::unexpected(bounded_parse_error(e.what()));
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
