// An index in a file: saved whole, loaded whole, or not at all.
//
// The file, every number little-endian:
//
//   header, 80 bytes (64 before version 4)
//     0  magic           8 bytes  "MURVEXIX"
//     8  version         u32      4
//    12  header bytes    u32      80 (64 before version 4)
//    16  threshold       u16      thousandths
//    18  flags           u16      bit 0: forgiving, bit 1: words (zero in version 2),
//                                 bit 2: the index folds (version 4)
//    20  max_errors      u32
//    24  max_results     u64
//    32  shard_capacity  u64
//    40  records         u64      in all shards
//    48  shards          u64
//    56  folding table   16 bytes its Unicode version and lane form
//                                 (fold_table_id), NUL-padded (version 4)
//    72  checksum        u64      of the bytes before it (56 before version 4)
//   one section per shard, in order: its head, then its body
//     head
//         records        u64
//         blocks         u64      lane blocks
//         long bytes     u64      of the texts longer than a lane
//         body bytes     u64
//         runs bytes     u64      what folding changed (version 4)
//         ids            u32 per record
//         lengths        u32 per record, in bytes
//         rows           u32 per block: bytes per lane
//         sums           u64 per block: the block checksum of its bytes in the body
//         masks          64 u64 per block: its lanes' character masks, sliced by bit
//         long texts     the texts longer than a lane, one after another
//         runs           for each record whose text folding changed, in
//                        order: its place in the shard (u32), the runs'
//                        bytes (u32), the runs (version 4)
//         checksum       u64      of the head before it
//     body
//         each block's bytes, rows * 64 of them: byte p of lane l at p * 64 + l
//   metadata (not in version 2)
//         bytes          u64
//         its bytes, whatever the saver kept with the index
//         checksum       u64      of the two before it
//   end, 8 bytes "MURVEXEN"
//
// The blocks are laid out as a store that appended the shard's records in
// order holds them (64 lanes, rows in steps of 8, lanes of up to 1024 bytes,
// longer texts in windows), so that loading copies each block's bytes and
// masks rather than writing every text again. Bytes of a block that no text
// covers are zero. The checksum is XXH64 with seed 0. The block checksum of
// a block's bytes: 64-bit word i of them is added to running sum i mod 4,
// and each running sum, once added to, to its weighed sum, modulo 2^64; the
// checksum of the four running sums, the four weighed ones and the byte
// count, as nine u64, is the block checksum. In an index that folds, the
// lengths, lanes, masks and long texts are those of the folded texts
// (unicode_fold.hpp), and the runs give the records' own texts back with
// the folding table, which must be the one the file names (else loading
// refuses it: the records must be added again); a file of
// version 3 or older loads as an index that does not fold. Records keep their
// shards and their order, so results after loading equal those before
// saving, ties included.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "murvex/index.hpp"

namespace murvex {

// What is wrong with a file that is not a whole saved index of a version
// this build reads; the message names the file.
class SavedIndexError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Writes the index and `metadata` to `path` through a file that has no name
// until it is whole and synced (or, where the file system has no unnamed
// files, a temporary name beside it), then renamed onto `path`: a crash never
// leaves half an index under the name. Temporary files left beside `path` by
// saves whose process is gone are removed. Throws std::system_error when the
// file cannot be written; `path` then keeps what it held.
void save_index(const ShardedIndex& index, const std::string& path, std::string_view metadata = {});

// The file whose lanes a loaded index maps (see load_index), open while
// someone holds it, so that a change to it can be noticed.
class MappedFile {
public:
    virtual ~MappedFile() = default;
    virtual const std::string& path() const noexcept = 0;
    // Whether the file was written, cut or grown since it was opened to be
    // loaded (or can no longer be asked): the lanes read its bytes where
    // this process has not written them, and they may then differ from
    // what was checked.
    virtual bool changed() const = 0;
};

// Reads an index saved by save_index, its shards filled on up to `workers`
// threads (as ShardedIndex::append_shards), and its metadata into `metadata`
// when not null (empty for a file of version 2). Only a regular file is
// read. With `mapped` not null, the lanes' bytes are not copied: the file
// is mapped copy-on-write and the lanes read it there (their checksums are
// checked as in a copy), and *mapped is set to the file, which the index
// depends on from then on; what this process writes to a lane stays its
// own. Throws std::system_error when the file cannot be read or mapped,
// SavedIndexError when it is not a whole index of a version this build
// reads (or not a regular file), std::bad_alloc when memory runs out.
ShardedIndex load_index(const std::string& path, WorkerPool* pool = nullptr, std::size_t workers = 1,
                        std::string* metadata = nullptr, std::shared_ptr<const MappedFile>* mapped = nullptr);

// XXH64 of `bytes` with seed 0.
std::uint64_t checksum(std::string_view bytes) noexcept;

}  // namespace murvex
