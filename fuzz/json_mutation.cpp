// Edits of JSON text for the mutators of the targets whose input is, or carries, JSON: most
// mutations edit the parsed value (drop, add, copy or change a member or element) and write it
// back, so that most inputs stay JSON and reach the checks behind the parser; one in sixteen is
// one of libFuzzer's own byte mutations, which keep the parser itself under test. libFuzzer
// chains a few mutations per input, so a higher share of byte mutations would leave few inputs
// parseable. Linked into the libFuzzer programs only.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "json/json_text.h"
#include "json_mutation.h"

namespace {

using vemla::Json;

struct Walk {
    std::vector<Json*> values;
    std::vector<std::string> keys;
};

void walk(Json& value, Walk& seen) {
    seen.values.push_back(&value);
    if (value.is_object()) {
        for (auto& [key, member] : value.items()) {
            seen.keys.push_back(key);
            walk(member, seen);
        }
    } else if (value.is_array()) {
        for (Json& element : value) {
            walk(element, seen);
        }
    }
}

Json scalar(std::minstd_rand& random, const Walk& seen) {
    switch (random() % 12) {
        case 0:
            return nullptr;
        case 1:
            return true;
        case 2:
            return false;
        case 3:
            return 0;
        case 4:
            return -1;
        case 5:
            return 65536;
        case 6:
            return 1.0;
        case 7:
            return std::uint64_t{18446744073709551615u};
        case 8:
            return "";
        case 9:
            return std::string(9000, 'a');
        default:
            return seen.keys.empty() ? Json("x") : Json(seen.keys[random() % seen.keys.size()]);
    }
}

// One edit of the tree; false when the chosen edit does not apply to the chosen value.
bool edit(Json& root, std::minstd_rand& random) {
    Walk seen;
    walk(root, seen);
    Json& target = *seen.values[random() % seen.values.size()];
    const Json& other = *seen.values[random() % seen.values.size()];
    switch (random() % 6) {
        case 0:  // drop a member or an element
            if (target.is_object() && !target.empty()) {
                auto it = target.begin();
                std::advance(it, static_cast<std::ptrdiff_t>(random() % target.size()));
                target.erase(it);
                return true;
            }
            if (target.is_array() && !target.empty()) {
                target.erase(random() % target.size());
                return true;
            }
            return false;
        case 1: {  // add a member under a key seen elsewhere, or an element
            Json added = random() % 2 ? Json(other) : scalar(random, seen);
            if (target.is_object() && !seen.keys.empty()) {
                target[seen.keys[random() % seen.keys.size()]] = std::move(added);
                return true;
            }
            if (target.is_array()) {
                target.push_back(target.empty() || random() % 2
                                     ? std::move(added)
                                     : Json(target[random() % target.size()]));
                return true;
            }
            return false;
        }
        case 2:  // a copy of another part of the tree
            if (&target != &root) {
                target = Json(other);
                return true;
            }
            return false;
        case 3:  // a scalar of another kind
            if (&target != &root) {
                target = scalar(random, seen);
                return true;
            }
            return false;
        case 4:  // a number near the one there
            if (target.is_number_unsigned()) {
                const std::uint64_t n = target.get<std::uint64_t>();
                const std::uint64_t choices[] = {n + 1, n - 1, n * 2, n / 2, n + 65536};
                target = choices[random() % 5];
                return true;
            }
            return false;
        default:  // a string cut short or doubled
            if (target.is_string()) {
                std::string text = target.get<std::string>();
                if (random() % 2 && !text.empty()) {
                    text.resize(random() % text.size());
                } else {
                    text += text;
                }
                // A cut inside a character is written with U+FFFD in its place.
                target = std::move(text);
                return true;
            }
            return false;
    }
}

}  // namespace

std::size_t vemla::fuzz::mutate_json_text(std::uint8_t* data, std::size_t size,
                                          std::size_t max_size, unsigned int seed) {
    std::minstd_rand random(seed);
    if (random() % 16 == 0) {
        return LLVMFuzzerMutate(data, size, max_size);
    }
    auto parsed = vemla::parse_json(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!parsed) {
        return LLVMFuzzerMutate(data, size, max_size);
    }
    // One edit: libFuzzer chains a few mutations per input already, and each further edit makes
    // it likelier that the input fails the validator.
    for (int attempt = 0; attempt < 8 && !edit(*parsed, random); ++attempt) {
    }
    const std::string text = vemla::to_compact_json(*parsed);
    if (text.size() > max_size) {
        return LLVMFuzzerMutate(data, size, max_size);
    }
    std::memcpy(data, text.data(), text.size());
    return text.size();
}
