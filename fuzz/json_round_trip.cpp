// What parses serialises, and what it serialises parses back to the same value and the same
// text: the helper writes every reply and the engine's document this way.

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"

using namespace vemla;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto parsed = fuzz::parse_input(data, size);
    if (!parsed) {
        return 0;
    }
    const std::string text = to_compact_json(*parsed);
    fuzz::require(compact_json_size(*parsed) == text.size(),
                  "the counted size is the written size");
    const auto again = parse_json(text);
    fuzz::require(again.has_value(), "compact text parses");
    // Equality alone would take 1 and 1.0 for the same value; the text tells them apart.
    fuzz::require(*again == *parsed, "compact text parses to the same value");
    fuzz::require(to_compact_json(*again) == text, "compact text is a fixed point");
    return 0;
}
