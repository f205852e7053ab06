// libFuzzer target: random sequences of append, remove, reset and search on
// an engine, and on one whose store folds, checked step by step against a
// plain model of the store; each text's fold undone and its stretches
// taken back to it.
//
// Input: a stream of operations, each an opcode byte followed by its operands.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "murvex/fold.hpp"
#include "murvex/search.hpp"
#include "murvex/unicode_fold.hpp"
#include "reference.hpp"

namespace {

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool empty() const { return pos_ >= size_; }
    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::string_view bytes(std::size_t n) {
        n = std::min(n, size_ - std::min(pos_, size_));
        const std::string_view out(reinterpret_cast<const char*>(data_ + pos_), n);
        pos_ += n;
        return out;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "store disagrees with the model: %s\n", what);
    __builtin_trap();
}

using Model = std::vector<std::pair<std::uint32_t, std::string>>;

std::string folded_of(std::string_view text) {
    std::string folded;
    std::vector<std::uint8_t> runs;
    murvex::fold_text(text, folded, runs);
    return folded;
}

void check_same(const murvex::RecordStore& store, const Model& model) {
    if (store.count() != model.size()) fail("count");
    for (std::size_t i = 0; i < model.size(); ++i) {
        if (store.id(i) != model[i].first) fail("id");
        if (store.text(i) != model[i].second) fail("text");
        const std::uint64_t mask =
            murvex::char_mask(store.folds() ? folded_of(model[i].second) : model[i].second);
        if (store.char_mask(i) != mask) fail("char_mask");
    }
}

// A text folded and unfolded is itself, and every stretch of its fold maps
// to one of it that ends no earlier than it starts, on its characters.
void check_fold(std::string_view text) {
    std::string folded;
    std::vector<std::uint8_t> runs;
    const bool changed = murvex::fold_text(text, folded, runs);
    std::string slow;
    std::vector<std::uint8_t> slow_runs;
    if (murvex::detail::fold_text_by_character(text, slow, slow_runs) != changed || slow != folded ||
        slow_runs != runs)
        fail("fold a character at a time");
    std::string back;
    murvex::unfold_text(folded, runs, back);
    if (back != text) fail("unfold");
    if (murvex::unfolded_length(folded, runs) != text.size()) fail("unfolded length");
    std::vector<bool> boundary(text.size() + 1, false);  // where a character begins, and the end
    for (std::size_t i = 0; i < text.size(); i += murvex::utf8_character(text, i).second) boundary[i] = true;
    boundary[text.size()] = true;
    std::size_t last_start = 0;
    const std::size_t step = 1 + folded.size() / 64;  // each mapping reads the text from its start
    for (std::size_t start = 0; start <= folded.size(); start += step) {
        const auto [first, end] =
            murvex::original_span(folded, runs, start, std::min(folded.size(), start + 3));
        if (first > end || end > text.size() || first < last_start) fail("original span");
        if (!boundary[first] || !boundary[end]) fail("original span inside a character");
        last_start = first;
    }
}

// The search by its outcome, over the model's records.
std::vector<murvex::ResultEntry> model_search(const Model& model, const murvex::Settings& settings,
                                              std::string_view query) {
    murvex::Engine engine;
    engine.settings = settings;
    for (const auto& [id, text] : model) engine.records.append(id, text);
    return murvex::reference::search(engine, query);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    murvex::Engine engine;
    murvex::Engine folding{murvex::RecordStore(true), {}};
    Model model;
    while (!in.empty()) {
        const std::uint8_t op = in.byte();
        const std::uint32_t id = in.byte() % 8;
        switch (op % 5) {
            case 0:
            case 1: {  // append, sometimes as joined parts
                std::string_view a = in.bytes(in.byte() % 48);
                const std::string_view b = in.bytes(in.byte() % 16);
                if (engine.records.is_full()) break;
                std::string long_text;
                if ((op & 0x20) && !a.empty()) {  // a text long enough for several windows
                    const std::size_t length = 1000 + std::size_t{in.byte()} * 16;
                    while (long_text.size() < length) long_text += a;
                    a = long_text;
                }
                if (op & 0x80) {
                    const std::vector<std::string_view> parts{a, b};
                    engine.records.append_joined(id, parts);
                    folding.records.append_joined(id, parts);
                    model.emplace_back(id, std::string(a) + " " + std::string(b));
                } else {
                    engine.records.append(id, a);
                    folding.records.append(id, a);
                    model.emplace_back(id, std::string(a));
                }
                check_fold(model.back().second);
                break;
            }
            case 2: {  // remove
                bool expected = false;
                for (auto it = model.begin(); it != model.end(); ++it) {
                    if (it->first == id) {
                        model.erase(it);
                        expected = true;
                        break;
                    }
                }
                if (engine.records.remove(id) != expected) fail("remove result");
                if (folding.records.remove(id) != expected) fail("remove result of the folding store");
                break;
            }
            case 3:  // reset, rarely
                if (op & 0x40) {
                    engine.records.reset();
                    folding.records.reset();
                    model.clear();
                }
                break;
            default: {  // search with random settings
                const std::uint8_t s = in.byte();
                engine.settings = murvex::Settings{static_cast<std::uint16_t>((s % 5) * 250),
                                                   static_cast<std::uint32_t>((s >> 3) % 4),
                                                   static_cast<std::uint64_t>(in.byte() % 12)};
                const std::string_view query = in.bytes(in.byte() % 36);
                folding.settings = engine.settings;
                const auto want = model_search(model, engine.settings, query);
                for (const auto kernel : murvex::available_kernels()) {
                    // The strict search of a store that folds matches each text as it is.
                    for (const murvex::Engine* searched : {&engine, &folding}) {
                        const auto got = murvex::search(*searched, query, kernel);
                        if (got.size() != want.size()) fail("result count");
                        for (std::size_t i = 0; i < got.size(); ++i) {
                            if (got[i].id != want[i].id || got[i].score != want[i].score ||
                                got[i].start != want[i].start || got[i].end != want[i].end)
                                fail("result entry");
                        }
                    }
                }
            }
        }
        check_same(engine.records, model);
        check_same(folding.records, model);
    }
    return 0;
}
