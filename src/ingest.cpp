// Record ingestion into one engine: Python dicts into records of its store.
#include "classes.hpp"
#include "records.hpp"

namespace murvex::py {

namespace {

// One engine's store: at most MAX_RECORDS records, the next one's default id
// its count.
struct StoreSink {
    RecordStore& store;

    void check_room() const {
        if (store.is_full()) throw Error::lazy(PyExc_ValueError, "Maximum record limit reached");
    }
    std::uint32_t default_id() const { return static_cast<std::uint32_t>(store.count()); }
    void reserve(std::size_t more) { store.reserve(std::min(MAX_RECORDS, store.count() + more)); }
    void append(std::uint32_t id, std::span<const std::string_view> parts) { store.append_joined(id, parts); }
};

}  // namespace

std::size_t add_records(RecordStore& store, PyObject* records) {
    StoreSink sink{store};
    return add_records(sink, records);
}

}  // namespace murvex::py
