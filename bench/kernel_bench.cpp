// Times the search kernel against the straightforward one-record-at-a-time,
// one-byte-at-a-time kernel on the same records and queries.
//
//   murvex_kernel_bench TEXTS QUERIES   (both files: one UTF-8 line per item)
//
// Prints one JSON object: per query the best-of-N milliseconds of each.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "murvex/search.hpp"
#include "reference.hpp"

namespace {

using Clock = std::chrono::steady_clock;

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

std::string json_string(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s TEXTS QUERIES\n", argv[0]);
        return 2;
    }
    const auto texts = read_lines(argv[1]);
    const auto queries = read_lines(argv[2]);
    murvex::Engine engine;
    std::string joined;
    for (std::size_t i = 0; i < texts.size() && i < murvex::MAX_RECORDS; ++i) {
        engine.records.append(static_cast<std::uint32_t>(i), texts[i]);
        joined += texts[i];
    }

    volatile std::size_t sink = 0;  // keeps the timed work from being optimised away
    // One pass over every text byte looking for one that is not there.
    const double memchr_ms = best_ms(20, [&] {
        // NOLINTNEXTLINE(bugprone-not-null-terminated-result)
        sink = std::memchr(joined.data(), '\0', joined.size()) != nullptr;
    });

    std::cout << "{\"records\": " << engine.records.count() << ", \"bytes\": " << joined.size()
              << ", \"memchr_ms\": " << memchr_ms << ", \"queries\": [";
    for (std::size_t q = 0; q < queries.size(); ++q) {
        const std::string& query = queries[q];
        if (murvex::search(engine, query).size() != murvex::reference::search(engine, query).size()) {
            std::fprintf(stderr, "results differ for query '%s'\n", query.c_str());
            return 1;
        }
        std::size_t found = 0;
        const double fast = best_ms(5, [&] { found = murvex::search(engine, query).size(); });
        const double plain = best_ms(2, [&] { sink = straightforward_search(engine, texts, query); });
        std::cout << (q ? ", " : "") << "{\"query\": " << json_string(query) << ", \"fast_ms\": " << fast
                  << ", \"straightforward_ms\": " << plain << ", \"results\": " << found << "}";
    }
    std::cout << "]}\n";
    (void)sink;
    return 0;
}
