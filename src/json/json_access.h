#pragma once

// Reading members of the DOM the same way everywhere: a member that is absent, null or of
// another type reads as "not there", and nothing is inserted or copied by a look-up.

#include <cstddef>
#include <expected>
#include <initializer_list>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "json/json_text.h"

namespace vemla {

// The member `key` of `value`, or nullptr when `value` is not an object or has no such member.
const Json* find_member(const Json& value, std::string_view key);

// The member unless it is absent or null: both mean "not configured".
const Json* configured_member(const Json& value, std::string_view key);

// The text of `value` when it is a string; nullptr for any other value, and for nullptr.
const std::string* as_text(const Json* value);

// `value` is a string equal to `text`.
bool is_text(const Json* value, std::string_view text);

// `value` is the boolean true.
bool is_true(const Json* value);

// The member's text when it is a string, else `fallback`.
std::string text_or(const Json& object, std::string_view key, std::string_view fallback);

// The member's text when it is a non-empty string, else `fallback`.
std::string non_empty_text_or(const Json& object, std::string_view key, std::string_view fallback);

using KeyList = std::initializer_list<std::string_view>;

// The first key of `object`, in ascending byte order, that is in neither list; nullptr when
// there is none (or when `object` is not an object).
const std::string* first_key_outside(const Json& object, KeyList keys, KeyList more_keys = {});

// `value` when it is an array, else an empty array.
const Json& array_or_empty(const Json* value);

// A JSON array of `texts`, in order.
Json string_array(std::vector<std::string> texts);

// A string-or-list value read in place: a string is a list of one, an array of strings is
// itself. Nothing is copied, since rule sources may hold hundreds of thousands of entries; the
// view borrows the value it was read from.
class StringList {
public:
    class Iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = std::string;
        using difference_type = std::ptrdiff_t;
        using pointer = const std::string*;
        using reference = const std::string&;

        Iterator() = default;
        explicit Iterator(const Json* at) : at_(at) {}
        const std::string& operator*() const { return at_->get_ref<const std::string&>(); }
        Iterator& operator++() {
            ++at_;
            return *this;
        }
        Iterator operator++(int) {
            Iterator before = *this;
            ++at_;
            return before;
        }
        bool operator==(const Iterator&) const = default;

    private:
        const Json* at_ = nullptr;
    };

    StringList() = default;
    StringList(const Json* first, std::size_t size) : first_(first), size_(size) {}

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    const std::string& operator[](std::size_t i) const {
        return first_[i].get_ref<const std::string&>();
    }
    Iterator begin() const { return Iterator(first_); }
    Iterator end() const { return Iterator(first_ + size_); }
    std::vector<std::string> to_vector() const { return {begin(), end()}; }

private:
    const Json* first_ = nullptr;
    std::size_t size_ = 0;
};

enum class StringListFault {
    kNotStringOrList,  // neither a string nor an array
    kNonStringEntry,   // an array holding something other than a string
};

// Reads a string-or-list value: nullptr or null is the empty list.
std::expected<StringList, StringListFault> read_string_list(const Json* value);

}  // namespace vemla
