#pragma once

#include <cstddef>
#include <cstdint>

extern "C" std::size_t LLVMFuzzerMutate(std::uint8_t* data, std::size_t size, std::size_t max_size);

namespace vemla::fuzz {

// Mutates the JSON text in data[0, size) in place, within max_size bytes, and returns its new
// size. Text that does not parse gets one of libFuzzer's byte mutations.
std::size_t mutate_json_text(std::uint8_t* data, std::size_t size, std::size_t max_size,
                             unsigned int seed);

}  // namespace vemla::fuzz
