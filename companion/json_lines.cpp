// The Python face of the JSON Lines reader (json_reader.hpp).
#include "json_lines.hpp"

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "convert.hpp"
#include "json_reader.hpp"

namespace murvex::tools {

namespace {

constexpr unsigned long long ID_COUNT = 0x100000000ULL;  // ids run below this

PyRef int_list(std::size_t size, const auto& value_of) {
    PyRef list = py::checked(PyList_New(static_cast<Py_ssize_t>(size)));
    for (std::size_t i = 0; i < size; ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), py::checked(value_of(i)).release());
    return list;
}

constexpr std::array<const char*, 4> PARAMETERS = {"block", "first_line", "first_id", "fields"};
constexpr py::Signature SIGNATURE = {"json_lines()", PARAMETERS, 4};

}  // namespace

PyObject* json_lines(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        std::array<PyObject*, 4> given;
        py::parse_arguments(SIGNATURE, args, nargs, kwnames, given);
        if (!PyBytes_Check(given[0])) throw Error::lazy(PyExc_TypeError, "json_lines(): block must be bytes");
        const std::string_view block(PyBytes_AS_STRING(given[0]),
                                     static_cast<std::size_t>(PyBytes_GET_SIZE(given[0])));
        const long long first_line = PyLong_AsLongLong(given[1]);
        const long long first_id = PyLong_AsLongLong(given[2]);
        if ((first_line == -1 || first_id == -1) && PyErr_Occurred()) throw Error::fetch();
        const bool chosen = given[3] != Py_None;
        std::vector<std::string> fields;
        if (chosen) {
            PyRef sequence(PySequence_Fast(given[3], "json_lines(): fields must be a sequence of str"));
            if (!sequence) throw Error::fetch();
            for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(sequence.get()); ++i) {
                Py_ssize_t size = 0;
                const char* utf8 =
                    PyUnicode_AsUTF8AndSize(PySequence_Fast_GET_ITEM(sequence.get(), i), &size);
                if (!utf8) throw Error::fetch();
                fields.emplace_back(utf8, static_cast<std::size_t>(size));
            }
        }

        json::Records records;
        bool plain;
        {
            const WithoutInterpreterLock unlocked;  // the bytes object cannot change
            plain = json::read_records(block, fields, chosen, records);
        }
        const std::size_t n = records.lines.size();
        if (!plain || static_cast<unsigned long long>(first_id) + n > ID_COUNT) Py_RETURN_NONE;

        PyRef texts = py::checked(PyList_New(static_cast<Py_ssize_t>(n)));
        PyRef leads = py::checked(PyList_New(static_cast<Py_ssize_t>(n)));
        for (std::size_t i = 0, from = 0; i < n; from = records.text_ends[i++]) {
            const char* text = records.texts.data() + from;
            PyList_SET_ITEM(
                texts.get(), static_cast<Py_ssize_t>(i),
                py::checked(PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(records.text_ends[i] - from),
                                                 "strict"))
                    .release());
            PyList_SET_ITEM(leads.get(), static_cast<Py_ssize_t>(i),
                            py::checked(PyUnicode_DecodeUTF8(
                                            text, static_cast<Py_ssize_t>(records.lead_lengths[i]), "strict"))
                                .release());
        }
        PyRef lines =
            int_list(n, [&](std::size_t i) { return PyLong_FromLongLong(first_line + records.lines[i]); });
        PyRef ids = int_list(n, [&](std::size_t i) {
            return PyLong_FromLongLong(records.ids[i] >= 0 ? records.ids[i]
                                                           : first_id + static_cast<long long>(i));
        });
        return Py_BuildValue("(OOOOO)", lines.get(), texts.get(), ids.get(), leads.get(),
                             records.own_ids ? Py_True : Py_False);
    });
}

}  // namespace murvex::tools
