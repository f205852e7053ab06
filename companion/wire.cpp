#include "wire.hpp"

#include "convert.hpp"
#include "records.hpp"

#include <array>
#include <cstring>
#include <string>

namespace murvex::tools {

namespace {

struct WireSink {
    std::uint64_t first_id;
    std::string data;
    std::vector<std::uint32_t> lengths;
    std::vector<std::uint32_t> ids;

    void check_room() const {}
    std::uint32_t default_id() const {
        const std::uint64_t id = first_id + ids.size();
        if (id > UINT32_MAX)
            throw Error::lazy(PyExc_OverflowError, "out of range integral type conversion attempted");
        return static_cast<std::uint32_t>(id);
    }
    void reserve(std::size_t more) {
        lengths.reserve(lengths.size() + more);
        ids.reserve(ids.size() + more);
    }
    void append(std::uint32_t id, std::span<const std::string_view> parts) {
        const std::size_t before = data.size();
        for (std::size_t i = 0; i < parts.size(); ++i) {
            if (i > 0) data += ' ';
            data += parts[i];
        }
        if (data.size() - before > MAX_TEXT_BYTES) {
            data.resize(before);
            throw std::length_error("record text of 4 GiB or more");
        }
        lengths.push_back(static_cast<std::uint32_t>(data.size() - before));
        ids.push_back(id);
    }
};

PyRef bytes_of(const void* data, std::size_t size) {
    return py::checked(
        PyBytes_FromStringAndSize(static_cast<const char*>(data), static_cast<Py_ssize_t>(size)));
}

// A contiguous buffer of the object, released with the view.
class Buffer {
public:
    Buffer(PyObject* object, const char* name) {
        if (PyObject_GetBuffer(object, &view_, PyBUF_SIMPLE) < 0) {
            py::discard_error();
            throw Error::lazy(PyExc_TypeError,
                              std::string("argument '") + name + "': expected a bytes-like object");
        }
    }
    ~Buffer() { PyBuffer_Release(&view_); }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;

    const char* data() const noexcept { return static_cast<const char*>(view_.buf); }
    std::size_t size() const noexcept { return static_cast<std::size_t>(view_.len); }
    std::uint32_t u32(std::size_t i) const noexcept {
        std::uint32_t value;
        std::memcpy(&value, data() + 4 * i, 4);  // written little-endian on every machine murvex runs on
        return value;
    }

private:
    Py_buffer view_{};
};

constexpr std::array<const char*, 2> ENCODE_PARAMETERS = {"records", "first_id"};
constexpr py::Signature ENCODE_SIGNATURE = {"encode_records()", ENCODE_PARAMETERS, 2};

}  // namespace

PyObject* encode_records(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded<PyObject*>(nullptr, [&] {
        std::array<PyObject*, 2> given;
        py::parse_arguments(ENCODE_SIGNATURE, args, nargs, kwnames, given);
        WireSink sink{py::argument("first_id", [&] { return py::to_u64(given[1]); }), {}, {}, {}};
        PyRef error;
        try {
            py::add_records(sink, given[0]);
        } catch (const py::Panic&) {
            throw;
        } catch (...) {
            py::raise_in_flight();
            error = PyRef(PyErr_GetRaisedException());
        }
        PyRef data = bytes_of(sink.data.data(), sink.data.size());
        PyRef lengths = bytes_of(sink.lengths.data(), 4 * sink.lengths.size());
        PyRef ids = bytes_of(sink.ids.data(), 4 * sink.ids.size());
        return py::checked(
                   PyTuple_Pack(4, data.get(), lengths.get(), ids.get(), error ? error.get() : Py_None))
            .release();
    });
}

void for_each_wire_record(PyObject* data_object, PyObject* lengths_object, PyObject* ids_object,
                          const std::function<void(std::uint32_t, std::string_view)>& append) {
    const Buffer data(data_object, "data"), lengths(lengths_object, "lengths"), ids(ids_object, "ids");
    const std::size_t n = lengths.size() / 4;
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < n; ++i) total += lengths.u32(i);
    if (lengths.size() % 4 || ids.size() != lengths.size() || total != data.size())
        throw Error::lazy(PyExc_ValueError,
                          "the lengths, ids and data of encoded records do not fit together");
    std::size_t at = 0;
    for (std::size_t i = 0; i < n; ++i) {
        append(ids.u32(i), std::string_view(data.data() + at, lengths.u32(i)));
        at += lengths.u32(i);
    }
}

}  // namespace murvex::tools
