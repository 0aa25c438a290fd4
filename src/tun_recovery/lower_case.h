#pragma once

#include <string>
#include <string_view>

namespace vemla::tun_recovery {

// The Unicode lower case of UTF-8 text, as UTF-8: every code point that has a lower-case form
// in the Unicode character database is replaced by it, in every bicameral script (Latin with
// all its extensions, Greek, Coptic, Cyrillic, Armenian, Georgian, Cherokee, Glagolitic,
// Deseret, Osage, Adlam and the rest), together with the letter-like symbols that have one
// (Roman numerals, circled and full-width Latin letters, the Kelvin and Ohm signs). "İ"
// (U+0130) becomes "i" followed by U+0307, as full lower-casing requires; capital sigma always
// becomes "σ", the form that matches text in the middle of a word. A byte that does not begin
// a well-formed UTF-8 sequence becomes U+FFFD.
std::string lower_case_utf8(std::string_view text);

}  // namespace vemla::tun_recovery
