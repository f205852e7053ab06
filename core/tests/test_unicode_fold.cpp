#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "murvex/unicode_fold.hpp"
#include "reference.hpp"

namespace {

using murvex::fold_text;

// The lane form of a text, and the same as UTF-8.
std::string lane_form(std::string_view text) {
    std::string out;
    std::vector<std::uint8_t> runs;
    fold_text(text, out, runs);
    return out;
}

std::string folded(std::string_view text) { return murvex::readable_fold(lane_form(text)); }

TEST(UnicodeFold, CaseAccentsAndCompatibilityForms) {
    EXPECT_EQ(folded("Île-de-France"), "ile-de-France");  // ASCII keeps its case: the matcher folds it
    EXPECT_EQ(folded("München"), "Munchen");
    EXPECT_EQ(folded("Straße"), "Strasse");
    EXPECT_EQ(folded("Αθήνα"), "αθηνα");
    EXPECT_EQ(folded("ＭＯＳＫＶＡ ﬁ Å"), "moskva fi a");
    EXPECT_EQ(folded("Москва"), "москва");
    EXPECT_EQ(folded("e\xCC\x81"), "e");  // a mark alone folds to nothing
    EXPECT_EQ(folded("ϒ"), "υ");          // folded until nothing changes
    EXPECT_EQ(lane_form("a\xC3\x28\xED\xA0\x80z"), "a\xC3\x28\xED\xA0\x80z");  // not UTF-8: kept
    EXPECT_FALSE(murvex::may_fold("plain ASCII text, even Capitals"));
    EXPECT_TRUE(murvex::may_fold("caf\xC3\xA9"));
    EXPECT_FALSE(murvex::fold_unicode_version().empty());
    // Small Greek and Cyrillic letters take a byte each in the lanes: a typo in one is one byte edit.
    EXPECT_EQ(lane_form("αθηνα москва").size(), 12u);
    EXPECT_EQ(lane_form("ΑΘΉΝΑ").size(), 5u);
}

// Characters that fold to themselves, to less, to more and to nothing, and
// bytes that are not UTF-8 (each a character of its own here: no piece
// begins with a continuation byte).
constexpr std::string_view PIECES[] = {"a", "B",    " ",    "-", "é",        "É",        "ß",  "ﬁ",  "Ω",
                                       "ω", "ά",    "Я",    "я", "\xCC\x81", "\xCC\xA7", "한", "😀", "¼",
                                       "İ", "\xC3", "\xFF", "ǅ", "ﷺ",        "x",        "Ｍ"};

TEST(UnicodeFold, OriginalTextAndSpansComeBack) {
    murvex::reference::RandomText random(7);
    for (int round = 0; round < 3000; ++round) {
        // The model: each character folded alone, and for each folded byte
        // where its character starts and where it ends with the marks after it.
        std::string text;
        std::vector<std::size_t> owner_start, owner_end;
        const std::size_t n = random.below(13);
        for (std::size_t i = 0; i < n; ++i) {
            const std::string_view piece = PIECES[random.below(std::size(PIECES))];
            const std::size_t at = text.size();
            text += piece;
            const std::string f = lane_form(piece);
            for (std::size_t k = owner_end.size(); f.empty() && k > 0 && owner_end[k - 1] == at; --k)
                owner_end[k - 1] = text.size();
            owner_start.insert(owner_start.end(), f.size(), at);
            owner_end.insert(owner_end.end(), f.size(), text.size());
        }
        std::string out;
        std::vector<std::uint8_t> runs;
        fold_text(text, out, runs);
        std::string back;
        murvex::unfold_text(out, runs, back);
        ASSERT_EQ(back, text);
        ASSERT_EQ(murvex::unfolded_length(out, runs), text.size());
        ASSERT_EQ(owner_start.size(), out.size()) << text;
        for (std::size_t s = 0; s < out.size(); ++s)
            for (std::size_t e = s + 1; e <= out.size(); ++e) {
                const auto [start, end] = murvex::original_span(out, runs, s, e);
                ASSERT_EQ(start, owner_start[s]) << text << " " << s;
                ASSERT_EQ(end, owner_end[e - 1]) << text << " " << e;
            }
        EXPECT_EQ(murvex::original_span(out, runs, out.size(), out.size()).first, text.size());
    }
}

// The fast folds, of UTF-8 and of a str's code points at any width, give
// what folding a character at a time gives, appended after what the buffers
// hold already, across blocks of characters and across the room made ahead
// (a character that folds to 33 bytes, many times).
template <class Unit>
void expect_same_fold(std::string_view text, bool changed, const std::string& want,
                      const std::vector<std::uint8_t>& want_runs) {
    std::vector<Unit> units;
    for (std::size_t i = 0; i < text.size();) {
        const auto [code, length] = murvex::utf8_character(text, i);
        if (code > std::numeric_limits<Unit>::max() || code >= 0x110000)
            return;  // not of this width, or not UTF-8
        units.push_back(static_cast<Unit>(code));
        i += length;
    }
    murvex::PodBuffer<char> got;
    murvex::PodBuffer<std::uint8_t> got_runs;
    std::memcpy(got.grow_by(6), "before", 6);
    got_runs.push_back(1);
    got_runs.push_back(2);
    const auto outcome = murvex::fold_code_points(std::span<const Unit>(units), got, got_runs);
    ASSERT_EQ(std::string(got.data(), got.size()), want) << text;
    ASSERT_EQ(std::vector<std::uint8_t>(got_runs.data(), got_runs.data() + got_runs.size()), want_runs)
        << text;
    ASSERT_EQ(outcome, changed ? murvex::CodePointsFolded::changed : murvex::CodePointsFolded::itself)
        << text;
}

TEST(UnicodeFold, FastFoldsFoldAsOneCharacterAtATime) {
    murvex::reference::RandomText random(8);
    constexpr std::string_view LONGER[] = {"plain words ", "αθηνα ", "Ελλάδα ", "Москва ", "été "};
    for (int round = 0; round < 4000; ++round) {
        std::string text;
        const std::size_t n = round < 10 ? 200 : random.below(round % 2 ? 13 : 60);
        for (std::size_t i = 0; i < n; ++i) {
            text += round < 10 ? "ﷺ" : PIECES[random.below(std::size(PIECES))];
            if (random.below(4) == 0) text += LONGER[random.below(std::size(LONGER))];
        }
        std::string want = "before";
        std::vector<std::uint8_t> want_runs{1, 2};
        const bool changed = murvex::detail::fold_text_by_character(text, want, want_runs);
        std::string got = "before";
        std::vector<std::uint8_t> got_runs{1, 2};
        ASSERT_EQ(fold_text(text, got, got_runs), changed) << text;
        ASSERT_EQ(got, want) << text;
        ASSERT_EQ(got_runs, want_runs) << text;
        expect_same_fold<std::uint8_t>(text, changed, want, want_runs);
        expect_same_fold<std::uint16_t>(text, changed, want, want_runs);
        expect_same_fold<std::uint32_t>(text, changed, want, want_runs);
    }
    murvex::PodBuffer<char> out;
    murvex::PodBuffer<std::uint8_t> runs;
    out.push_back('k');
    runs.push_back(9);
    const std::vector<std::uint16_t> surrogate = {u'é', 0xD800, u'a'};
    EXPECT_EQ(murvex::fold_code_points(std::span<const std::uint16_t>(surrogate), out, runs),
              murvex::CodePointsFolded::surrogate);
    EXPECT_EQ(out.size(), 1u);
    EXPECT_EQ(runs.size(), 1u);
}

}  // namespace
