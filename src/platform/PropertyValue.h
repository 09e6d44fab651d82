// A small property-list value: the aggregate-device description is one of these.
#pragma once

#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace ovra {

struct PropertyValue;
// Keys keep the order in which they were added, so a journal shows them as built.
using PropertyDictionary = std::vector<std::pair<std::string, PropertyValue>>;
using PropertyArray = std::vector<PropertyValue>;

struct PropertyValue {
    std::variant<std::string, bool, PropertyArray, PropertyDictionary> value;

    PropertyValue(std::string s) : value(std::move(s)) {}
    PropertyValue(const char* s) : value(std::string(s)) {}
    PropertyValue(bool b) : value(b) {}
    PropertyValue(PropertyArray a) : value(std::move(a)) {}
    PropertyValue(PropertyDictionary d) : value(std::move(d)) {}

    const std::string* string() const { return std::get_if<std::string>(&value); }
    const bool* boolean() const { return std::get_if<bool>(&value); }
    const PropertyArray* array() const { return std::get_if<PropertyArray>(&value); }
    const PropertyDictionary* dictionary() const { return std::get_if<PropertyDictionary>(&value); }
};

// The value under `key`, or nullptr.
inline const PropertyValue* lookup(const PropertyDictionary& d, const std::string& key) {
    for (const auto& [k, v] : d)
        if (k == key) return &v;
    return nullptr;
}

}  // namespace ovra
