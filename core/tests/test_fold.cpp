#include <gtest/gtest.h>

#include "murvex/fold.hpp"

namespace murvex {
namespace {

constexpr std::uint64_t bits(std::initializer_list<int> positions) {
    std::uint64_t mask = 0;
    for (int p : positions) mask |= std::uint64_t{1} << p;
    return mask;
}

TEST(Fold, OnlyAsciiCapitalsChange) {
    for (int b = 0; b < 256; ++b) {
        const auto byte = static_cast<std::uint8_t>(b);
        const int expected = (b >= 'A' && b <= 'Z') ? b + 32 : b;
        EXPECT_EQ(fold(byte), expected) << "byte " << b;
    }
}

TEST(CharMask, FollowsFoldedByteModulo64) {
    EXPECT_EQ(char_mask(""), 0u);
    EXPECT_EQ(char_mask("Ab"), bits({33, 34}));
    EXPECT_EQ(char_mask("Ab"), char_mask("aB"));
    EXPECT_EQ(char_mask("a"), char_mask("!"));
    EXPECT_EQ(char_mask(" "), char_mask("`"));
    EXPECT_EQ(char_mask("0123456789"), bits({48, 49, 50, 51, 52, 53, 54, 55, 56, 57}));
    EXPECT_EQ(char_mask("caf\xC3\xA9"), bits({3, 33, 35, 38, 41}));
    EXPECT_EQ(char_mask("Hello World"), bits({32, 36, 37, 40, 44, 47, 50, 55}));
    EXPECT_EQ(char_mask("Hello World"), char_mask("hello world"));
}

}  // namespace
}  // namespace murvex
