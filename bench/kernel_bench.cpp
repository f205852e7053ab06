// Times the search in each kernel form the CPU runs, on the benchmark's texts
// and queries (files of one UTF-8 line per item), and prints one JSON object.
//
//   murvex_kernel_bench mix TEXTS QUERIES     the texts as records: per form and
//                                             query the best-of-N milliseconds,
//                                             and the straightforward kernel's
//   murvex_kernel_bench sweep TEXTS QUERIES   the same bytes cut into records of
//                                             16 B to 1 MiB
//   murvex_kernel_bench worst TEXTS QUERIES   stores and queries that defeat the
//                                             shortcuts
//   murvex_kernel_bench once TEXTS QUERIES FORM   every query once, for callgrind
//   murvex_kernel_bench modes TEXTS QUERIES   the strict and the forgiving mode,
//                                             per form, in turn: p50 of each
//   murvex_kernel_bench scale TEXTS QUERIES   past the cache and on every core:
//                                             one engine warm and cold, an index of
//                                             all the texts on 1 and 2 workers, a
//                                             batch of queries, and small stores
//
// Each figure comes with a memchr pass over the same bytes.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "murvex/index.hpp"
#include "murvex/search.hpp"
#include "reference.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using murvex::Kernel;

std::vector<std::string> read_lines(const char* path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path);
        std::exit(2);
    }
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

template <class Body>
double best_ms(int repeats, Body&& body) {
    double best = 1e300;
    for (int i = 0; i < repeats; ++i) {
        const auto began = Clock::now();
        body();
        best = std::min(best, std::chrono::duration<double, std::milli>(Clock::now() - began).count());
    }
    return best;
}

volatile std::size_t sink = 0;  // keeps the timed work from being optimised away

// One pass over every byte looking for one that is not there.
double memchr_ms(const std::string& bytes) {
    // NOLINTNEXTLINE(bugprone-not-null-terminated-result)
    return best_ms(20, [&] { sink = std::memchr(bytes.data(), '\0', bytes.size()) != nullptr; });
}

std::string json_string(const std::string& s) {
    std::string out = "\"";
    for (const char c : s) {
        if (c == '"' || c == '\\') out += '\\';
        if (static_cast<unsigned char>(c) >= 0x20) out += c;
    }
    return out + "\"";
}

// A store and the bytes it holds.
struct Store {
    murvex::Engine engine;
    std::string bytes;
};

Store store_of(const std::vector<std::string>& texts, murvex::Settings settings = {}) {
    Store store;
    store.engine.settings = settings;
    for (std::size_t i = 0; i < texts.size() && i < murvex::MAX_RECORDS; ++i) {
        store.engine.records.append(static_cast<std::uint32_t>(i), texts[i]);
        store.bytes += texts[i];
    }
    return store;
}

// {"avx2": [ms per query], ...} for every form; the results must agree.
std::string time_forms(const murvex::Engine& engine, const std::vector<std::string>& queries, int repeats) {
    std::ostringstream out;
    out << "{";
    bool first = true;
    for (const Kernel kernel : murvex::available_kernels()) {
        out << (first ? "" : ", ") << json_string(murvex::kernel_name(kernel)) << ": [";
        first = false;
        for (std::size_t q = 0; q < queries.size(); ++q) {
            if (murvex::search(engine, queries[q], kernel).size() !=
                murvex::search(engine, queries[q]).size()) {
                std::fprintf(stderr, "forms disagree on '%s'\n", queries[q].c_str());
                std::exit(1);
            }
            out << (q ? ", " : "")
                << best_ms(repeats, [&] { sink = murvex::search(engine, queries[q], kernel).size(); });
        }
        out << "]";
    }
    return out.str() + "}";
}

// The straightforward kernel over every record: no pre-filter, no skipping.
std::size_t straightforward_search(const murvex::Engine& engine, const std::vector<std::string>& texts,
                                   const std::string& query) {
    const std::uint32_t k =
        murvex::error_budget(engine.settings.max_errors, std::min(query.size(), murvex::MAX_PATTERN_BYTES));
    std::size_t found = 0;
    for (std::size_t i = 0; i < engine.records.count(); ++i)
        found += murvex::reference::straightforward_match(query, k, texts[i]).has_value();
    return found;
}

int mix(const std::vector<std::string>& texts, const std::vector<std::string>& queries) {
    const Store store = store_of(texts);
    std::cout << "{\"records\": " << store.engine.records.count() << ", \"bytes\": " << store.bytes.size()
              << ", \"memchr_ms\": " << memchr_ms(store.bytes) << ", \"queries\": [";
    for (std::size_t q = 0; q < queries.size(); ++q) std::cout << (q ? ", " : "") << json_string(queries[q]);
    std::cout << "], \"forms\": " << time_forms(store.engine, queries, 7) << ", \"straightforward\": [";
    for (std::size_t q = 0; q < queries.size(); ++q)
        std::cout << (q ? ", " : "")
                  << best_ms(2, [&] { sink = straightforward_search(store.engine, texts, queries[q]); });
    std::cout << "]}\n";
    return 0;
}

// The texts joined into one stream of about `total` bytes and cut into
// records of `length` bytes each.
std::vector<std::string> cut(const std::vector<std::string>& texts, std::size_t length, std::size_t total) {
    std::string stream;
    for (std::size_t i = 0; stream.size() < total; i = (i + 1) % texts.size()) stream += texts[i] + ' ';
    std::vector<std::string> records;
    for (std::size_t at = 0; at + length <= stream.size() && records.size() < murvex::MAX_RECORDS;
         at += length)
        records.push_back(stream.substr(at, length));
    return records;
}

int sweep(const std::vector<std::string>& texts, const std::vector<std::string>& queries) {
    constexpr std::size_t TOTAL = 8 << 20;
    std::cout << "{\"total\": " << TOTAL << ", \"lengths\": [";
    bool first = true;
    for (const std::size_t length : {16u, 100u, 1000u, 1024u, 1025u, 4096u, 65536u, 1048576u}) {
        // 16-byte records: the engine's 100,000 hold only 1.6 MB.
        const Store store = store_of(cut(texts, length, std::min(TOTAL, length * murvex::MAX_RECORDS)));
        std::cout << (first ? "" : ", ") << "{\"length\": " << length
                  << ", \"records\": " << store.engine.records.count()
                  << ", \"bytes\": " << store.bytes.size() << ", \"memchr_ms\": " << memchr_ms(store.bytes)
                  << ", \"forms\": " << time_forms(store.engine, queries, 5) << "}";
        first = false;
    }
    std::cout << "]}\n";
    return 0;
}

// Each case: its store, settings and query.
int worst(const std::vector<std::string>& texts, const std::vector<std::string>& queries) {
    struct Case {
        std::string name;
        std::vector<std::string> records;
        murvex::Settings settings;
        std::string query;
    };
    const std::vector<std::string> english = cut(texts, 110, 11 << 20);
    std::vector<Case> cases;
    // Every byte starts a match attempt, none completes: the query's first
    // byte over and over, then its other bytes once, so that the pre-filter
    // lets every record through.
    for (const std::string& query : {queries[0], queries[5]}) {
        std::string text(110, query[0]);
        text += ' ';
        text += query.substr(1);
        cases.push_back({"texts full of the query's first byte: " + query,
                         std::vector<std::string>(english.size(), text),
                         {},
                         query});
    }
    // Every letter in every record: the pre-filter lets all of them through.
    {
        std::vector<std::string> all = english;
        for (std::string& text : all) text += " the quick brown fox jumps over a lazy dog 0123456789";
        for (const std::string& query : {queries[1], queries[2]})
            cases.push_back({"every record holds every letter: " + query, all, {}, query});
    }
    // The longest pattern with the largest budget.
    for (const std::string& query :
         {std::string("Trusted by teams in over forty c"), std::string("Gringotts Biotech Group biotechn")})
        cases.push_back({"m = 32, k = 3: " + query, english, {250, 3, 50}, query});
    // Dense matches: every lane accepts on every row.
    for (const std::uint32_t k : {0u, 2u}) {
        std::vector<std::string> dense(english.size(), "b" + std::string(99, 'a'));
        cases.push_back(
            {"'b' + 'a' * 99, query 'aaaaab', max_errors " + std::to_string(k), dense, {0, k, 50}, "aaaaab"});
    }
    // A common word: many exact matches early in the store.
    cases.push_back({"common word: ' the'", english, {}, " the"});
    cases.push_back({"common word: 'the em' at max_errors 3", english, {250, 3, 50}, "the em"});

    std::cout << "{\"cases\": [";
    for (std::size_t c = 0; c < cases.size(); ++c) {
        const Store store = store_of(cases[c].records, cases[c].settings);
        std::cout << (c ? ", " : "") << "{\"name\": " << json_string(cases[c].name)
                  << ", \"bytes\": " << store.bytes.size() << ", \"memchr_ms\": " << memchr_ms(store.bytes)
                  << ", \"forms\": " << time_forms(store.engine, {cases[c].query}, 5) << "}";
    }
    std::cout << "]}\n";
    return 0;
}

int once(const std::vector<std::string>& texts, const std::vector<std::string>& queries,
         const std::string& form) {
    const Kernel kernel = murvex::kernel_named(form).value_or(Kernel::automatic);
    const Store store = store_of(texts);
    for (const std::string& query : queries) sink = murvex::search(store.engine, query, kernel).size();
    std::cout << "{\"bytes\": " << store.bytes.size() << ", \"queries\": " << queries.size() << "}\n";
    return 0;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0.0 : values[values.size() / 2];
}

// Writes and reads 128 MiB, so that nothing of a store stays in the CPU's caches.
void evict_caches() {
    static std::vector<std::uint8_t> buffer(std::size_t{128} << 20);
    for (std::size_t i = 0; i < buffer.size(); i += 64) buffer[i] = static_cast<std::uint8_t>(buffer[i] + 1);
    sink = buffer[buffer.size() / 2];
}

template <class Search>
double p50_ms(const std::vector<std::string>& queries, bool cold, Search&& search) {
    std::vector<double> times;
    for (const std::string& query : queries) {
        double best = 1e300;
        for (int r = 0; r < 3; ++r) {
            if (cold) evict_caches();
            const auto began = Clock::now();
            search(query);
            best = std::min(best, std::chrono::duration<double, std::milli>(Clock::now() - began).count());
        }
        times.push_back(best);
    }
    return median(times);
}

int modes(const std::vector<std::string>& texts, const std::vector<std::string>& queries) {
    Store store = store_of(texts);
    std::cout << "{\"records\": " << store.engine.records.count() << ", \"forms\": {";
    bool first = true;
    for (const Kernel kernel : murvex::available_kernels()) {
        std::vector<double> strict, forgiving;
        for (const std::string& query : queries) {
            double best[2] = {1e300, 1e300};
            for (int r = 0; r < 5; ++r)
                for (const bool mode : {false, true}) {
                    store.engine.settings.forgiving = mode;
                    const auto began = Clock::now();
                    sink = murvex::search(store.engine, query, kernel).size();
                    best[mode] = std::min(
                        best[mode], std::chrono::duration<double, std::milli>(Clock::now() - began).count());
                }
            strict.push_back(best[0]);
            forgiving.push_back(best[1]);
        }
        std::cout << (first ? "" : ", ") << json_string(murvex::kernel_name(kernel))
                  << ": {\"strict\": " << median(strict) << ", \"forgiving\": " << median(forgiving) << "}";
        first = false;
    }
    std::cout << "}}\n";
    return 0;
}

int scale(const std::vector<std::string>& texts, const std::vector<std::string>& queries,
          const std::string& form) {
    const Kernel kernel = murvex::kernel_named(form).value_or(Kernel::automatic);
    const Store one = store_of(texts);
    const auto search_one = [&](const std::string& q) {
        sink = murvex::search(one.engine, q, kernel).size();
    };
    std::cout << "{\"form\": "
              << json_string(
                     murvex::kernel_name(kernel == Kernel::automatic ? murvex::widest_kernel() : kernel))
              << ", \"engine_records\": " << one.engine.records.count()
              << ", \"engine_warm_ms\": " << p50_ms(queries, false, search_one)
              << ", \"engine_cold_ms\": " << p50_ms(queries, true, search_one);

    murvex::WorkerPool pool;
    murvex::ShardedIndex index;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        const std::string_view part = texts[i];
        index.append_joined(static_cast<std::uint32_t>(i), std::span(&part, 1));
    }
    std::cout << ", \"index_records\": " << index.count();
    for (const std::size_t workers : {1, 2}) {
        const murvex::SearchOptions options{&pool, workers, kernel};
        std::cout << ", \"index_w" << workers
                  << "_ms\": " << p50_ms(queries, false, [&](const std::string& q) {
                         sink = index.search(q, options).size();
                     });
    }
    std::vector<std::string_view> batch;
    for (int round = 0; round < 4; ++round) batch.insert(batch.end(), queries.begin(), queries.end());
    for (const std::size_t workers : {1, 2}) {
        const murvex::SearchOptions options{&pool, workers, kernel};
        std::cout << ", \"many_w" << workers
                  << "_ms\": " << best_ms(3, [&] { sink = index.search_many(batch, options).size(); });
    }

    // Per-byte cost of small stores of the first texts, against the first
    // 100,000: measured in turn, round after round, and the median taken, so
    // that the machine's drift hits both alike.
    const std::vector<std::size_t> sizes{100, 1000, 100000};
    std::vector<Store> stores;
    stores.reserve(sizes.size());
    for (const std::size_t n : sizes) {
        const auto end = texts.begin() + static_cast<std::ptrdiff_t>(std::min(n, texts.size()));
        stores.push_back(store_of(std::vector<std::string>(texts.begin(), end)));
    }
    std::vector<std::vector<double>> per_byte(sizes.size());
    for (int round = 0; round < 7; ++round)
        for (std::size_t i = 0; i < sizes.size(); ++i) {
            const int repeats = sizes[i] >= 100000 ? 1 : static_cast<int>(200000 / sizes[i]);
            const double ms = p50_ms(queries, false,
                                     [&](const std::string& q) {
                                         for (int r = 0; r < repeats; ++r)
                                             sink = murvex::search(stores[i].engine, q, kernel).size();
                                     }) /
                              repeats;
            per_byte[i].push_back(ms * 1e6 / static_cast<double>(stores[i].bytes.size()));
        }
    std::cout << ", \"per_byte_ns\": {";
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        std::vector<double> ratios;
        ratios.reserve(7);
        for (int round = 0; round < 7; ++round) ratios.push_back(per_byte[i][round] / per_byte.back()[round]);
        std::cout << (i ? ", " : "") << "\"" << sizes[i] << "\": [" << median(per_byte[i]) << ", "
                  << median(ratios) << "]";
    }
    std::cout << "}}\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (argc < 4 || (mode != "mix" && mode != "sweep" && mode != "worst" && mode != "once" &&
                     mode != "scale" && mode != "modes")) {
        std::fprintf(stderr, "usage: %s mix|sweep|worst|once|scale|modes TEXTS QUERIES [FORM]\n", argv[0]);
        return 2;
    }
    const auto texts = read_lines(argv[2]);
    const auto queries = read_lines(argv[3]);
    if (mode == "mix") return mix(texts, queries);
    if (mode == "sweep") return sweep(texts, queries);
    if (mode == "worst") return worst(texts, queries);
    if (mode == "scale") return scale(texts, queries, argc > 4 ? argv[4] : "automatic");
    if (mode == "modes") return modes(texts, queries);
    return once(texts, queries, argc > 4 ? argv[4] : "automatic");
}
