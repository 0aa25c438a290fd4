// The mutator of the service target: the client's bytes are a JSON line, edited as JSON most of
// the time; now and then the client's behaviour (the flag bits past the split count) changes, or
// libFuzzer mutates the whole input, header included.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "json_mutation.h"

extern "C" std::size_t LLVMFuzzerCustomMutator(std::uint8_t* data, std::size_t size,
                                               std::size_t max_size, unsigned int seed) {
    std::minstd_rand random(seed);
    const std::size_t header = size == 0 ? 0 : 1 + 2 * std::size_t{data[0] & 7u};
    if (size <= header || random() % 8 == 0) {
        return LLVMFuzzerMutate(data, size, max_size);
    }
    if (random() % 8 == 0) {
        data[0] ^= static_cast<std::uint8_t>(0x08u << (random() % 3));
        return size;
    }
    const bool line_feed = data[size - 1] == '\n';
    const std::size_t text_size = size - header - (line_feed ? 1 : 0);
    const std::size_t room = max_size - header - (line_feed ? 1 : 0);
    std::vector<std::uint8_t> text(data + header, data + header + text_size);
    text.resize(std::max(room, text_size));
    const std::size_t written = vemla::fuzz::mutate_json_text(text.data(), text_size, room,
                                                              static_cast<unsigned>(random()));
    std::memcpy(data + header, text.data(), written);
    if (line_feed) {
        data[header + written] = '\n';
    }
    return header + written + (line_feed ? 1 : 0);
}
