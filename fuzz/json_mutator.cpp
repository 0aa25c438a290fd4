// The mutator of the targets whose input is JSON text.

#include <cstddef>
#include <cstdint>

#include "json_mutation.h"

extern "C" std::size_t LLVMFuzzerCustomMutator(std::uint8_t* data, std::size_t size,
                                               std::size_t max_size, unsigned int seed) {
    return vemla::fuzz::mutate_json_text(data, size, max_size, seed);
}
