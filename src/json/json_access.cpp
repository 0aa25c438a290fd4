#include "json/json_access.h"

#include <algorithm>
#include <utility>

namespace vemla {

const Json* find_member(const Json& value, std::string_view key) {
    if (!value.is_object()) {
        return nullptr;
    }
    const auto found = value.find(key);
    return found == value.end() ? nullptr : &*found;
}

const Json* configured_member(const Json& value, std::string_view key) {
    const Json* member = find_member(value, key);
    return member != nullptr && !member->is_null() ? member : nullptr;
}

const std::string* as_text(const Json* value) {
    return value != nullptr && value->is_string() ? &value->get_ref<const std::string&>() : nullptr;
}

bool is_text(const Json* value, std::string_view text) {
    const std::string* held = as_text(value);
    return held != nullptr && *held == text;
}

bool is_true(const Json* value) {
    return value != nullptr && value->is_boolean() && value->get<bool>();
}

std::string text_or(const Json& object, std::string_view key, std::string_view fallback) {
    const std::string* text = as_text(find_member(object, key));
    return text != nullptr ? *text : std::string(fallback);
}

std::string non_empty_text_or(const Json& object, std::string_view key, std::string_view fallback) {
    const std::string* text = as_text(find_member(object, key));
    return text != nullptr && !text->empty() ? *text : std::string(fallback);
}

const std::string* first_key_outside(const Json& object, KeyList keys, KeyList more_keys) {
    if (!object.is_object()) {
        return nullptr;
    }
    // The DOM keeps members in ascending byte order of their keys.
    for (const auto& member : object.get_ref<const Json::object_t&>()) {
        const std::string_view key = member.first;
        if (std::ranges::find(keys, key) == keys.end() &&
            std::ranges::find(more_keys, key) == more_keys.end()) {
            return &member.first;
        }
    }
    return nullptr;
}

const Json& array_or_empty(const Json* value) {
    static const Json kEmpty = Json::array();
    return value != nullptr && value->is_array() ? *value : kEmpty;
}

Json string_array(std::vector<std::string> texts) {
    Json array = Json::array();
    Json::array_t& values = array.get_ref<Json::array_t&>();
    values.reserve(texts.size());
    for (std::string& text : texts) {
        values.emplace_back(std::move(text));
    }
    return array;
}

std::expected<StringList, StringListFault> read_string_list(const Json* value) {
    if (value == nullptr || value->is_null()) {
        return StringList{};
    }
    if (value->is_string()) {
        return StringList{value, 1};
    }
    if (!value->is_array()) {
        return std::unexpected(StringListFault::kNotStringOrList);
    }
    const Json::array_t& entries = value->get_ref<const Json::array_t&>();
    for (const Json& entry : entries) {
        if (!entry.is_string()) {
            return std::unexpected(StringListFault::kNonStringEntry);
        }
    }
    return StringList{entries.data(), entries.size()};
}

}  // namespace vemla
