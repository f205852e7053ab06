// libFuzzer target: the JSON Lines reader on any bytes. It must never crash,
// and what it reads must hold together: one entry per record in every list,
// lines in order, texts of well-formed UTF-8 with each lead at its start.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "../json_reader.hpp"

namespace {

bool well_formed_utf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80   ? 1
                                   : lead < 0xC2 ? 0
                                   : lead < 0xE0 ? 2
                                   : lead < 0xF0 ? 3
                                   : lead < 0xF5 ? 4
                                                 : 0;
        if (length == 0 || length > text.size() - i) return false;
        std::uint32_t code = length == 1 ? lead : lead & (0x7F >> length);
        for (std::size_t k = 1; k < length; ++k) {
            const auto tail = static_cast<unsigned char>(text[i + k]);
            if ((tail & 0xC0) != 0x80) return false;
            code = code << 6 | (tail & 0x3F);
        }
        const std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < least[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
        i += length;
    }
    return true;
}

void check(bool holds) {
    if (!holds) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view block(reinterpret_cast<const char*>(data), size);
    const std::vector<std::string> fields = {"name", "a", "name"};
    for (const bool chosen : {false, true}) {
        murvex::tools::json::Records records;
        murvex::tools::json::read_records(block, fields, chosen, records);
        const std::size_t n = records.lines.size();
        check(records.text_ends.size() == n && records.lead_lengths.size() == n && records.ids.size() == n);
        std::size_t from = 0;
        for (std::size_t i = 0; i < n; ++i) {
            check(i == 0 || records.lines[i] > records.lines[i - 1]);
            check(records.text_ends[i] >= from && records.text_ends[i] <= records.texts.size());
            const std::string_view text =
                std::string_view(records.texts).substr(from, records.text_ends[i] - from);
            check(records.lead_lengths[i] <= text.size() && well_formed_utf8(text) &&
                  well_formed_utf8(text.substr(0, records.lead_lengths[i])));
            check(records.ids[i] >= -1 && records.ids[i] <= 0xFFFFFFFFLL);
            from = records.text_ends[i];
        }
    }
    return 0;
}
