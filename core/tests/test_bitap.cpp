#include <gtest/gtest.h>

#include <string>

#include "murvex/bitap.hpp"
#include "murvex/fold.hpp"
#include "reference.hpp"

namespace murvex {
namespace {

// (errors, end), or (-1, 0) for no match, so failures print readably.
std::pair<int, std::size_t> run(std::string_view query, std::uint32_t max_errors, std::string_view text) {
    const Pattern pattern = compile(query);
    const auto match = best_match(pattern, error_budget(max_errors, pattern.len), text);
    if (!match) return {-1, 0};
    return {static_cast<int>(match->errors), match->end};
}

constexpr std::pair<int, std::size_t> NONE{-1, 0};

TEST(Compile, KeepsTheFirst32BytesWithCaseFoldedIntoTheMasks) {
    const Pattern p = compile("aB!");
    EXPECT_EQ(p.len, 3u);
    EXPECT_EQ(p.masks['a'], 1u);
    EXPECT_EQ(p.masks['A'], 1u);
    EXPECT_EQ(p.masks['b'], 2u);
    EXPECT_EQ(p.masks['B'], 2u);
    EXPECT_EQ(p.masks['!'], 4u);
    EXPECT_EQ(p.char_mask, char_mask("ab!"));

    const std::string long_query = std::string(32, 'x') + "yz\xC3";
    const Pattern cut = compile(long_query);
    EXPECT_EQ(cut.len, 32u);
    EXPECT_EQ(cut.masks['x'], ~0u);
    EXPECT_EQ(cut.masks['y'], 0u);
    EXPECT_EQ(cut.char_mask, char_mask("x"));
}

TEST(ErrorBudget, DependsOnPatternLength) {
    for (std::uint32_t e = 0; e <= 3; ++e) {
        for (std::size_t m = 1; m <= 3; ++m) EXPECT_EQ(error_budget(e, m), 0u);
        EXPECT_EQ(error_budget(e, 4), std::min(e, 1u));
        EXPECT_EQ(error_budget(e, 5), std::min(e, 1u));
        for (std::size_t m = 6; m <= 32; ++m) EXPECT_EQ(error_budget(e, m), e);
    }
}

TEST(BestMatch, FoldsOnlyAsciiCapitals) {
    EXPECT_EQ(run("TEST", 2, "a Test"), std::make_pair(0, std::size_t{6}));
    EXPECT_EQ(run("\xC3\xA9", 2, "\xC3\xA9"), std::make_pair(0, std::size_t{2}));  // é in é
    EXPECT_EQ(run("\xC3\xA9", 2, "\xC3\x89"), NONE);                               // é in É
}

TEST(BestMatch, BudgetFollowsPatternLength) {
    EXPECT_EQ(run("abc", 3, "abd"), NONE);
    EXPECT_EQ(run("abc", 3, "xabcx"), std::make_pair(0, std::size_t{4}));
    EXPECT_EQ(run("abcde", 3, "abxye cd"), NONE);
    EXPECT_EQ(run("abcde", 3, "abxde c"), std::make_pair(1, std::size_t{5}));
    EXPECT_EQ(run("abcdef", 3, "abxyzf cde"), std::make_pair(3, std::size_t{6}));
    EXPECT_EQ(run("abcdef", 2, "abxyzf cde"), NONE);
}

TEST(BestMatch, FirstPatternByteIsNeverInError) {
    EXPECT_EQ(run("abcd", 1, "xbcd a"), NONE);
    EXPECT_EQ(run("abcd", 1, "bcd a"), NONE);
    EXPECT_EQ(run("abcd", 1, "abxd c"), std::make_pair(1, std::size_t{4}));
    EXPECT_EQ(run("abcd", 1, "abd c"), std::make_pair(1, std::size_t{3}));
    EXPECT_EQ(run("abcd", 1, "abcxd"), std::make_pair(1, std::size_t{3}));
}

TEST(BestMatch, AllowsTrailingDeletion) {
    EXPECT_EQ(run("abcdefghij", 1, "abcdefghiz j"), std::make_pair(1, std::size_t{9}));
    EXPECT_EQ(run("abcdefghij", 3, "abcdefghiz j"), std::make_pair(1, std::size_t{9}));
}

TEST(BestMatch, BestOverTheWholeTextAndFirstAmongEquals) {
    EXPECT_EQ(run("abcdef", 2, "abcxef zz abcdef"), std::make_pair(0, std::size_t{16}));
    EXPECT_EQ(run("test", 2, "test test"), std::make_pair(0, std::size_t{4}));
    EXPECT_EQ(run("abcdef", 2, "abxdef abcxef"), std::make_pair(1, std::size_t{6}));
}

TEST(BestMatch, UsesOnlyTheFirst32QueryBytes) {
    const std::string q32 = "0123456789abcdefghijklmnopqrstuv";
    EXPECT_EQ(run(q32, 2, "zz" + q32 + "zz"), std::make_pair(0, std::size_t{34}));
    EXPECT_EQ(run(q32 + "XYZ", 0, "zz" + q32), std::make_pair(0, std::size_t{34}));
    // All 32 bytes count: the last one missing is an error.
    EXPECT_EQ(run(q32, 0, q32.substr(0, 31) + "#"), NONE);
}

TEST(BestMatch, NothingInEmptyText) {
    EXPECT_EQ(run("a", 0, ""), NONE);
    EXPECT_FALSE(best_match(compile(""), 0, "abc"));
}

// Regression: an exact match must stop the scan only after it has been
// recorded, and a later exact match must not replace an earlier one.
TEST(BestMatch, ExactMatchAfterErrorMatches) {
    EXPECT_EQ(run("abcdef", 3, "abcdxf abcdef abcdef"), std::make_pair(0, std::size_t{13}));
}

// Regression: the jump to the next first pattern byte must look for both
// cases of a letter, taking whichever comes first.
TEST(BestMatch, JumpFindsEitherCaseOfTheFirstByte) {
    EXPECT_EQ(run("abcd", 1, "zzAbcd abcd"), std::make_pair(0, std::size_t{6}));
    EXPECT_EQ(run("Abcd", 1, "zzabxd Abcd"), std::make_pair(0, std::size_t{11}));
}

class BestMatchRandom : public ::testing::TestWithParam<std::uint32_t> {};

// The matcher, the straightforward kernel and the definition agree on random
// patterns and texts, for every budget and pattern length.
TEST_P(BestMatchRandom, AgreesWithTheReference) {
    const std::uint32_t k = GetParam();
    reference::RandomText random(1234 + k);
    for (std::size_t m = 1; m <= 32; ++m) {
        for (int round = 0; round < 200; ++round) {
            const std::string query = random(m, m);
            std::string text = random(0, 80);
            if (round % 2 == 0 && !text.empty()) {  // plant a near copy
                const std::string planted = random.mutate(query, static_cast<std::uint32_t>(random.below(4)));
                text.insert(random.below(text.size()), planted);
            }
            const Pattern pattern = compile(query);
            const auto fast = best_match(pattern, k, text);
            const auto slow = reference::best_match(query, k, text);
            const auto plain = reference::straightforward_match(query, k, text);
            ASSERT_EQ(fast.has_value(), slow.has_value()) << "query '" << query << "' text '" << text << "'";
            ASSERT_EQ(plain.has_value(), slow.has_value()) << "query '" << query << "' text '" << text << "'";
            if (!slow) continue;
            EXPECT_EQ(fast->errors, slow->errors) << "query '" << query << "' text '" << text << "'";
            EXPECT_EQ(fast->end, slow->end) << "query '" << query << "' text '" << text << "'";
            EXPECT_EQ(plain->errors, slow->errors);
            EXPECT_EQ(plain->end, slow->end);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(EveryBudget, BestMatchRandom, ::testing::Values(0u, 1u, 2u, 3u));

}  // namespace
}  // namespace murvex
