#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <expected>
#include <string>

#include "json/json_text.h"

namespace vemla::helper_protocol::testing_support {

// A small configuration that passes validation; tests break one thing at a time.
inline Json valid_config() {
    return Json::parse(R"({
      "log": {"level": "info"},
      "dns": {"servers": [{"tag": "local", "type": "local"}], "final": "local"},
      "inbounds": [{"type": "tun", "tag": "tun-in", "mtu": 1400}],
      "outbounds": [{"type": "direct", "tag": "direct"}],
      "route": {
        "rules": [{"rule_set": ["ads"], "action": "reject"}],
        "rule_set": [{"type": "remote", "tag": "ads", "format": "binary", "url": "https://x"}],
        "final": "direct"
      },
      "experimental": {"clash_api": {"external_controller": "127.0.0.1:9097",
                                     "secret": "0123456789abcdef01234567"}}
    })");
}

inline Json valid_rules() {
    return Json::parse(R"({"ads": {"version": 3, "rules": [{"domain_suffix": ["ads.example"]}]}})");
}

// Checks one row of a table: accepted when `error` is null, else refused with exactly `error`.
template <class T>
void expect_accepted_or_refused(const std::expected<T, std::string>& result, const char* error) {
    if (error == nullptr) {
        EXPECT_TRUE(result.has_value()) << result.error();
    } else {
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error(), error);
    }
}

// Appends ASCII strings of at most 8192 bytes to `array`, which must be inside `root` and must be
// empty, until the compact serialisation of `root` is exactly `target` bytes.
inline void pad_to_size(Json& root, Json& array, std::size_t target) {
    std::size_t size = compact_json_size(root);
    constexpr std::size_t kChunk = 8000;
    while (size < target) {
        const std::size_t overhead = array.empty() ? 2 : 3;  // quotes, and a comma after the first
        std::size_t remaining = target - size;
        std::size_t length = remaining - overhead;
        if (remaining > kChunk + overhead + 3) {
            length = kChunk;
        } else if (length > kChunk) {
            length = length / 2;  // leave room for one more string after this one
        }
        array.push_back(std::string(length, 'a'));
        size += length + overhead;
    }
}

}  // namespace vemla::helper_protocol::testing_support
