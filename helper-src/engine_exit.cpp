#include "engine_exit.h"

#include "platform.h"
#include "text.h"

namespace vemla::service {

std::string engine_exit_message_from_log(std::string_view log_tail,
                                         std::optional<std::uint32_t> exit_code) {
    const std::u32string text = decode_utf8_lossy(log_tail);
    std::u32string_view last_line;
    std::size_t begin = 0;
    while (begin <= text.size()) {
        std::size_t end = text.find(U'\n', begin);
        const bool has_feed = end != std::u32string::npos;
        if (!has_feed) {
            end = text.size();
        }
        std::u32string_view line(text.data() + begin, end - begin);
        if (has_feed && !line.empty() && line.back() == U'\r') {
            line.remove_suffix(1);
        }
        if (!trim_white_space(line).empty()) {
            last_line = line;
        }
        begin = end + 1;
    }
    if (last_line.size() > kEngineLogLineCharacters) {
        last_line = last_line.substr(0, kEngineLogLineCharacters);
    }

    std::string message = "Движок завершился";
    if (exit_code) {
        message += " с кодом " + std::to_string(static_cast<std::int32_t>(*exit_code));
    }
    if (!last_line.empty()) {
        message += ": " + encode_utf8(last_line);
    }
    return message;
}

std::string engine_exit_message(const std::filesystem::path& data_dir,
                                std::optional<std::uint32_t> exit_code) {
    return engine_exit_message_from_log(
        read_file_tail(data_dir / "engine.log", kEngineLogTailBytes), exit_code);
}

}  // namespace vemla::service
