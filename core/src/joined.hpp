// Walking the bytes of a record's text before it is joined.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace murvex::detail {

// Calls put(byte) for every byte of the parts joined with single spaces.
template <class Put>
void for_each_joined_byte(std::span<const std::string_view> parts, Put&& put) {
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) put(static_cast<std::uint8_t>(' '));
        for (char c : parts[i]) put(static_cast<std::uint8_t>(c));
    }
}

}  // namespace murvex::detail
