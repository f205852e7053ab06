// Byte folding and the 64-bit character mask.
//
// murvex matches bytes, not characters. The only case folding is that of the
// 26 ASCII capital letters; every other byte, including each byte of a
// multi-byte UTF-8 sequence, stands for itself. One definition here serves the
// record store, the matcher and the search, so they can never disagree.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace murvex {

// 'A'..'Z' become 'a'..'z'; every other byte is returned unchanged.
constexpr std::uint8_t fold(std::uint8_t b) noexcept {
    return (b >= 'A' && b <= 'Z') ? static_cast<std::uint8_t>(b + 0x20) : b;
}

// Bit (fold(b) mod 64) of the mask, for one byte.
constexpr std::uint64_t char_bit(std::uint8_t b) noexcept { return std::uint64_t{1} << (fold(b) & 0x3F); }

// char_bit of every byte value, for loops that fold many bytes.
inline constexpr std::array<std::uint64_t, 256> CHAR_BITS = [] {
    std::array<std::uint64_t, 256> bits{};
    for (std::size_t b = 0; b < 256; ++b) bits[b] = char_bit(static_cast<std::uint8_t>(b));
    return bits;
}();

// The character mask of a byte string: bit fold(b) mod 64 set for every byte
// b, 0 for the empty string. Unrelated bytes share bits ('a' and '!' are both
// bit 33), so a mask can prove that a byte is absent, never that it is there.
constexpr std::uint64_t char_mask(std::string_view bytes) noexcept {
    std::uint64_t mask = 0;
    for (char c : bytes) mask |= char_bit(static_cast<std::uint8_t>(c));
    return mask;
}

}  // namespace murvex
