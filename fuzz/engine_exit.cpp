// The engine exit message on arbitrary log bytes. The first byte says whether an exit code
// follows in the next four; the rest is the tail of engine.log.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine_exit.h"
#include "fuzz_support.h"
#include "text.h"

using namespace vemla;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view input = fuzz::as_text(data, size);
    std::optional<std::uint32_t> code;
    if (!input.empty() && (input.front() & 1) != 0 && input.size() >= 5) {
        code = static_cast<std::uint32_t>(data[1]) | static_cast<std::uint32_t>(data[2]) << 8 |
               static_cast<std::uint32_t>(data[3]) << 16 |
               static_cast<std::uint32_t>(data[4]) << 24;
        input.remove_prefix(5);
    } else if (!input.empty()) {
        input.remove_prefix(1);
    }
    if (input.size() > service::kEngineLogTailBytes) {
        return -1;
    }
    const std::string message = service::engine_exit_message_from_log(input, code);

    std::string head = "Движок завершился";
    if (code) {
        head += " с кодом " + std::to_string(static_cast<std::int32_t>(*code));
    }
    fuzz::require(message.starts_with(head), "the message begins with the exit and its code");
    fuzz::require(service::is_valid_utf8(message), "the message is valid UTF-8");
    if (message.size() == head.size()) {
        return 0;
    }
    fuzz::require(message.substr(head.size(), 2) == ": ", "a log line follows a colon");
    const std::u32string line =
        service::decode_utf8_lossy(std::string_view(message).substr(head.size() + 2));
    fuzz::require(!line.empty() && line.size() <= service::kEngineLogLineCharacters,
                  "the log line holds 1 to 1000 characters");
    fuzz::require(line.find(U'\n') == std::u32string::npos, "the log line is one line");
    return 0;
}
