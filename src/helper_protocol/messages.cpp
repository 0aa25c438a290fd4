#include "helper_protocol/messages.h"

#include "json/bounded_text.h"

namespace vemla::helper_protocol::messages {

std::string unsupported_option(std::string_view key) {
    return "Unsupported privileged option: " + quote_bounded(key);
}

std::string missing_safe_rule_source(std::string_view tag) {
    return "Missing safe rule source: " + quote_bounded(tag);
}

}  // namespace vemla::helper_protocol::messages
