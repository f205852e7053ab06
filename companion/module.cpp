// murvex_tools._native: what murvex_tools builds on and the murvex module
// must not hold: an index whose searches release the interpreter lock, the
// worker pool they run on, and batch entry points.
#include "bulk.hpp"
#include "json_lines.hpp"
#include "murvex/unicode_fold.hpp"
#include "native.hpp"
#include "wire.hpp"

namespace murvex::tools {

namespace {

PyObject* kernels(PyObject*, PyObject*) {
    return py::guarded<PyObject*>(nullptr, [] {
        const std::vector<Kernel> forms = available_kernels();
        PyRef list = py::checked(PyList_New(static_cast<Py_ssize_t>(forms.size())));
        for (std::size_t i = 0; i < forms.size(); ++i)
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                            py::checked(PyUnicode_FromString(kernel_name(forms[i]))).release());
        return list.release();
    });
}

PyObject* cpus(PyObject*, PyObject*) {
    return py::guarded<PyObject*>(nullptr,
                                  [] { return py::checked(PyLong_FromSize_t(usable_cpus())).release(); });
}

PyObject* fold(PyObject*, PyObject* text) {
    return py::guarded<PyObject*>(nullptr, [&] {
        const std::string_view bytes = py::argument("text", [&] { return text_of(text); });
        std::string folded;
        std::vector<std::uint8_t> runs;
        fold_text(bytes, folded, runs);
        const std::string readable = readable_fold(folded);  // the letters of one byte written out
        return py::checked(
                   PyUnicode_DecodeUTF8(readable.data(), static_cast<Py_ssize_t>(readable.size()), "strict"))
            .release();
    });
}

PyObject* shutdown_threads(PyObject*, PyObject*) {
    shutdown();
    Py_RETURN_NONE;
}

PyMethodDef module_functions[] = {
    {"kernels", kernels, METH_NOARGS,
     "kernels()\n--\n\nThe forms of the search kernel this CPU runs, widest first ('avx2', ..., "
     "'one_by_one')."},
    {"fold", fold, METH_O,
     "fold(text)\n--\n\nText as an index made in the forgiving or words mode keeps and matches it: each\n"
     "character casefolded, decomposed (NFKD) and without its combining marks ('Straße' gives 'Strasse',\n"
     "'Αθήνα' 'αθηνα'); ASCII letters keep their case, which the matcher ignores."},
    {"usable_cpus", cpus, METH_NOARGS,
     "usable_cpus()\n--\n\nThe CPUs this process may run on: what workers=None stands for."},
    {"encode_records", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(encode_records)),
     METH_FASTCALL | METH_KEYWORDS,
     "encode_records(records, first_id)\n--\n\n"
     "(data, lengths, ids, error): the records Index.add would append, as ids and joined UTF-8 texts;\n"
     "a record without an id gets first_id plus the number before it. At the first error, the records\n"
     "before it and the exception."},
    {"frame_texts", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(frame_texts)),
     METH_FASTCALL | METH_KEYWORDS,
     "frame_texts(frame, columns=None)\n--\n\n"
     "Each row's text of a table that exports Arrow data, as Index.add_frame makes it; None for a row\n"
     "of nulls."},
    {"json_lines", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(json_lines)),
     METH_FASTCALL | METH_KEYWORDS,
     "json_lines(block, first_line, first_id, fields)\n--\n\n"
     "(lines, texts, ids, leads, own_ids): the records of block's JSON Lines as the command line's reader\n"
     "makes them, numbered from first_line, default ids from first_id; None when a line is anything but\n"
     "blank or a plain object, for the Python reader to tell."},
    {"load", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(load)), METH_FASTCALL | METH_KEYWORDS,
     "load(type, path, workers=None, kernel='automatic')\n--\n\n"
     "An Index of `type` holding what Index.save wrote to path: OSError when the file cannot be read,\n"
     "ValueError naming the file and the problem when it is not a whole saved index."},
    {"_shutdown", shutdown_threads, METH_NOARGS,
     "_shutdown()\n--\n\nJoin the worker threads (at interpreter exit); later searches run on their caller."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "murvex_tools._native",
    .m_doc =
        "The compiled part of murvex_tools: a sharded index whose searches release the interpreter lock.",
    .m_size = -1,
    .m_methods = module_functions,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

PyObject* init_module() {
    PyRef module(PyModule_Create(&module_definition));
    if (!module || !init_hit_type()) return nullptr;
    if (PyModule_AddObjectRef(module.get(), "Hit", reinterpret_cast<PyObject*>(hit_type())) < 0)
        return nullptr;
    PyRef index(reinterpret_cast<PyObject*>(build_index_type()));
    if (!index || PyModule_AddObjectRef(module.get(), "Index", index.get()) < 0) return nullptr;
    const std::string_view version = fold_unicode_version();
    PyRef unicode(PyUnicode_FromStringAndSize(version.data(), static_cast<Py_ssize_t>(version.size())));
    if (!unicode || PyModule_AddObjectRef(module.get(), "UNICODE_VERSION", unicode.get()) < 0) return nullptr;
    return module.release();
}

}  // namespace

}  // namespace murvex::tools

// NOLINTNEXTLINE(bugprone-reserved-identifier): the name the interpreter looks for
PyMODINIT_FUNC PyInit__native() { return murvex::tools::init_module(); }
