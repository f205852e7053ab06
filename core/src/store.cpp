#include "murvex/store.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "murvex/fold.hpp"

namespace murvex {

RecordStore::RecordStore() { entries_.reserve(INITIAL_CAPACITY); }

Record RecordStore::operator[](std::size_t index) const noexcept {
    const Entry& e = entries_[index];
    return Record{e.id, std::string_view(arena_.data() + e.offset, e.length), e.char_mask};
}

void RecordStore::append(std::uint32_t id, std::string_view text) {
    append_joined(id, std::span<const std::string_view>(&text, 1));
}

void RecordStore::append_joined(std::uint32_t id, std::span<const std::string_view> parts) {
    std::size_t length = parts.empty() ? 0 : parts.size() - 1;
    for (std::string_view part : parts) {
        length += part.size();
        if (length > MAX_TEXT_BYTES) throw std::length_error("record text of 4 GiB or more");
    }

    // Everything that can throw happens before anything changes.
    if (entries_.size() == entries_.capacity())
        entries_.reserve(std::max(entries_.capacity() * 2, INITIAL_CAPACITY));
    const std::size_t offset = arena_.size();
    char* out = arena_.grow_by(length);

    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) *out++ = ' ';
        if (!parts[i].empty()) std::memcpy(out, parts[i].data(), parts[i].size());
        out += parts[i].size();
    }
    const std::string_view text(arena_.data() + offset, length);
    entries_.push_back(Entry{offset, char_mask(text), static_cast<std::uint32_t>(length), id});
}

bool RecordStore::remove(std::uint32_t id) noexcept {
    const auto it =
        std::find_if(entries_.begin(), entries_.end(), [id](const Entry& e) { return e.id == id; });
    if (it == entries_.end()) return false;
    dead_bytes_ += it->length;
    entries_.erase(static_cast<std::size_t>(it - entries_.begin()));
    // Reclaim the arena once removed texts make up more than half of it.
    if (dead_bytes_ > arena_.size() / 2) compact();
    return true;
}

void RecordStore::reset() noexcept {
    entries_.truncate(0);
    arena_.release();
    dead_bytes_ = 0;
}

// Entries stand in arena order, so sliding each live text down over the dead
// bytes before it needs no second buffer.
void RecordStore::compact() noexcept {
    std::uint64_t write = 0;
    for (Entry& e : entries_) {
        if (e.offset != write) std::memmove(arena_.data() + write, arena_.data() + e.offset, e.length);
        e.offset = write;
        write += e.length;
    }
    arena_.truncate(write);
    dead_bytes_ = 0;
}

}  // namespace murvex
