// libFuzzer target: the matcher against the dynamic-programming reference
// and the straightforward kernel, on arbitrary budgets, patterns and texts;
// then a search of that text in every form of the lane kernel against the
// reference search.
//
// Input: one byte for the budget (mod 4) and the mode (bit 2: forgiving), one
// for the pattern length (mod 40), then the pattern bytes, then the text.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>

#include "murvex/bitap.hpp"
#include "murvex/search.hpp"
#include "reference.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::uint32_t k = data[0] % 4;
    const bool forgiving = (data[0] >> 2) & 1;
    const std::size_t want = data[1] % 40;
    const std::string_view rest(reinterpret_cast<const char*>(data + 2), size - 2);
    const std::string_view query = rest.substr(0, want);
    const std::string_view text = rest.substr(query.size());

    const murvex::Pattern pattern = murvex::compile(query);
    const auto fast =
        forgiving ? murvex::best_match_forgiving(pattern, k, text) : murvex::best_match(pattern, k, text);
    const auto slow = forgiving ? murvex::reference::forgiving_match(query, k, text)
                                : murvex::reference::best_match(query, k, text);
    const auto plain = forgiving ? slow : murvex::reference::straightforward_match(query, k, text);
    const auto same = [](const auto& a, const auto& b) {
        return a.has_value() == b.has_value() && (!a || (a->errors == b->errors && a->end == b->end));
    };
    const bool starts_agree = !forgiving || !fast ||
                              murvex::forgiving_start(pattern, fast->errors, text.substr(0, fast->end)) ==
                                  murvex::reference::forgiving_start(query, text, *fast);
    if (!same(fast, slow) || !same(plain, slow) || !starts_agree) {
        std::fprintf(stderr, "matcher disagrees with the reference (k=%u, forgiving=%d, m=%zu, n=%zu)\n", k,
                     forgiving, query.size(), text.size());
        __builtin_trap();
    }

    murvex::Engine engine;
    engine.settings = murvex::Settings{0, k, 5, forgiving};
    engine.records.append(1, text);
    engine.records.append(2, text.substr(text.size() / 2));
    const auto expected = murvex::reference::search(engine, query);
    for (const auto kernel : murvex::available_kernels()) {
        const auto got = murvex::search(engine, query, kernel);
        bool agree = got.size() == expected.size();
        for (std::size_t i = 0; agree && i < got.size(); ++i)
            agree = got[i].id == expected[i].id && got[i].score == expected[i].score &&
                    got[i].start == expected[i].start && got[i].end == expected[i].end;
        if (!agree) {
            std::fprintf(stderr, "search disagrees with the reference (kernel %s, k=%u, m=%zu, n=%zu)\n",
                         murvex::kernel_name(kernel), k, query.size(), text.size());
            __builtin_trap();
        }
    }
    return 0;
}
