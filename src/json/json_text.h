#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace vemla {

using Json = nlohmann::json;

// Valid documents nest a dozen levels at most; this cap only keeps hostile input from driving
// the recursive copy, compare and serialise routines of the DOM through the thread's stack.
inline constexpr std::size_t kMaxJsonNesting = 64;

// A parse error quotes what the parser read last, which for an unterminated string is the rest of
// the input; the quote is cut so that the message, and the error reply that carries it, stays
// small whatever the request.
inline constexpr std::size_t kMaxParseErrorBytes = 512;

// Parses UTF-8 text into the DOM. On failure returns the parser's error text, at most
// kMaxParseErrorBytes long.
std::expected<Json, std::string> parse_json(std::string_view text);

// Compact serialisation (no spaces or line breaks, object keys in ascending byte order).
// Never throws: a string that is not valid UTF-8 has its bad bytes replaced by U+FFFD.
std::string to_compact_json(const Json& value);

// Length in bytes of to_compact_json(value), computed without building the text.
std::size_t compact_json_size(const Json& value);

// True for a number held as a non-negative integer: written without sign, fraction or exponent.
inline bool is_non_negative_integer(const Json& value) {
    return value.is_number_unsigned();
}

}  // namespace vemla
