#include <fstream>

#include "platform.h"

namespace vemla::service {

std::string read_file_tail(const std::filesystem::path& file, std::size_t limit) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        return {};
    }
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    const auto wanted = static_cast<std::streamoff>(limit);
    in.seekg(size > wanted ? size - wanted : 0, std::ios::beg);
    if (!in) {
        in.clear();
        in.seekg(0, std::ios::beg);
    }
    std::string tail(limit, '\0');
    in.read(tail.data(), wanted);
    tail.resize(static_cast<std::size_t>(in.gcount()));
    return tail;
}

}  // namespace vemla::service
