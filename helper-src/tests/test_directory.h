#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>

namespace vemla::service::testing_support {

// A directory of the test's own: several builds may run the same tests at once.
inline std::filesystem::path make_test_directory(const std::string& prefix) {
    const std::string test_name = testing::UnitTest::GetInstance()->current_test_info()->name();
    std::random_device random;
    const auto directory = std::filesystem::temp_directory_path() /
                           (prefix + test_name + "-" + std::to_string(random()));
    std::filesystem::create_directories(directory);
    return directory;
}

}  // namespace vemla::service::testing_support
