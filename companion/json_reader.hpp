// JSON Lines read straight from bytes: the records the command line's
// Python reader would make of the lines, without a Python object per field.
// Plain C++, so that a fuzzer can drive it.
//
// Only what is plainly a record is read here: a line that is blank or one
// JSON object whose id, when it has one, is a whole number or a string of
// digits up to 4294967295. Anything else (another value, invalid JSON or
// UTF-8, a repeated key, NaN, a lone surrogate, a number or nesting deep
// enough for Python's parser to refuse) sends the whole run back to the
// Python reader, which knows every rule and names the faulty line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace murvex::tools::json {

// The records of a run of lines: each record's text (its parts joined with
// single spaces) in `texts`, ending at text_ends[i]; its lead is the first
// part, the text's first lead_lengths[i] bytes.
struct Records {
    std::vector<std::uint32_t> lines;  // the line of each record, from 0
    std::string texts;
    std::vector<std::size_t> text_ends;
    std::vector<std::size_t> lead_lengths;
    std::vector<std::int64_t> ids;  // -1: none of its own
    bool own_ids = false;
};

// The records of `block`'s lines ('\n' between them), with the parts chosen
// by `fields` when `chosen` (else every string member but "id"). False at the
// first line outside the plain case; `out` then holds the records before it.
bool read_records(std::string_view block, const std::vector<std::string>& fields, bool chosen, Records& out);

}  // namespace murvex::tools::json
