#pragma once

#include <gtest/gtest.h>

#include "xray_native/compiler_common.h"

namespace vemla::xray_native::testing_support {

// Checks one row of a translation table: the expected JSON text, or the message when `error`
// is set.
inline void expect_json_or_message(const Result<Json>& result, const char* expected,
                                   const char* error) {
    if (error != nullptr) {
        ASSERT_FALSE(result.has_value()) << result->dump();
        EXPECT_EQ(result.error(), error);
        return;
    }
    ASSERT_TRUE(result.has_value()) << result.error();
    EXPECT_EQ(*result, Json::parse(expected)) << result->dump();
}

}  // namespace vemla::xray_native::testing_support
