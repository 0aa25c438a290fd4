#pragma once

// For tests: whether a result is the refusal a row expects, checked without dereferencing the
// wrong side, so that a regression fails its row instead of ending the whole test program.

#include <gtest/gtest.h>

#include <string_view>

#include "json/result.h"

namespace vemla {

template <class T>
::testing::AssertionResult refused_with(const Result<T>& result, std::string_view message) {
    if (result.has_value()) {
        return ::testing::AssertionFailure()
               << "accepted; expected the refusal \"" << message << "\"";
    }
    if (result.error() != message) {
        return ::testing::AssertionFailure()
               << "refused with \"" << result.error() << "\"; expected \"" << message << "\"";
    }
    return ::testing::AssertionSuccess();
}

}  // namespace vemla
