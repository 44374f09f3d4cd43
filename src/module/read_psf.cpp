// read_psf(path): argument binding, path conversion, and the road from a file
// to its Psf, with every failure mapped to its Python exception.
#include "module/read_psf.hpp"

#include <new>
#include <string>
#include <variant>

#include "module/assemble.hpp"
#include "module/internal_error.hpp"
#include "module/py_ref.hpp"
#include "reader/mapped_file.hpp"
#include "reader/parse.hpp"

namespace karvo {

namespace {

// Binds the single parameter `path`; returns a borrowed reference or nullptr.
PyObject* bind_path(PyObject* args, PyObject* kwargs) {
    const Py_ssize_t positional = PyTuple_Size(args);
    if (positional > 1) {
        PyErr_Format(PyExc_TypeError, "read_psf() takes 1 positional arguments but %zd were given", positional);
        return nullptr;
    }
    PyObject* bound = positional == 1 ? PyTuple_GetItem(args, 0) : nullptr;
    if (kwargs != nullptr) {
        PyObject *key, *value;
        Py_ssize_t at = 0;
        while (PyDict_Next(kwargs, &at, &key, &value)) {
            if (!PyUnicode_Check(key) || PyUnicode_CompareWithASCIIString(key, "path") != 0) {
                PyErr_Format(PyExc_TypeError, "read_psf() got an unexpected keyword argument '%S'", key);
                return nullptr;
            }
            if (bound != nullptr) {
                PyErr_SetString(PyExc_TypeError, "read_psf() got multiple values for argument 'path'");
                return nullptr;
            }
            bound = value;
        }
    }
    if (bound == nullptr)
        PyErr_SetString(PyExc_TypeError, "read_psf() missing 1 required positional argument: 'path'");
    return bound;
}

// Replaces a pending TypeError (exactly that type) by "argument 'path': ...",
// keeping its __cause__; other errors pass unchanged.
void prefix_argument_error() {
    if (!PyErr_Occurred()) return;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (type != PyExc_TypeError) {
        PyErr_Restore(type, value, tb);
        return;
    }
    PyErr_NormalizeException(&type, &value, &tb);
    PyRef owned_type(type), owned_value(value), owned_tb(tb);
    PyRef text(value ? PyObject_Str(value) : PyUnicode_FromString(""));
    if (!text) return;
    PyRef message(PyUnicode_FromFormat("argument 'path': %U", text.get()));
    if (!message) return;
    PyRef replacement(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
    if (!replacement) return;
    if (value != nullptr) {
        if (PyObject* cause = PyException_GetCause(value)) PyException_SetCause(replacement.get(), cause);
    }
    PyErr_SetObject(PyExc_TypeError, replacement.get());
}

// The str a path-like argument stands for (new reference), or nullptr.
PyObject* fspath_str(PyObject* arg) {
    PyRef path(PyOS_FSPath(arg));
    if (path && !PyUnicode_Check(path.get())) {
        PyRef type_name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(path.get())), "__name__"));
        if (type_name) PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of 'str'", type_name.get());
        path = PyRef();
    }
    if (!path) prefix_argument_error();
    return path.release();
}

std::string bytes_of(PyObject* bytes) {
    return std::string(PyBytes_AsString(bytes), static_cast<std::size_t>(PyBytes_Size(bytes)));
}

// The file-system name of a path str. Valid text is its UTF-8; names that
// os.fsdecode produced from undecodable bytes carry surrogate escapes, which
// turn back into those bytes; any other lone surrogate is kept code unit by
// code unit, so no name is changed on its way to the file system.
bool native_path(PyObject* path, std::string& out) {
    for (const char* errors : {"strict", "surrogateescape", "surrogatepass"}) {
        PyRef encoded(PyUnicode_AsEncodedString(path, "utf-8", errors));
        if (encoded) {
            out = bytes_of(encoded.get());
            return true;
        }
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
        PyErr_Clear();
    }
    return false;
}

// The path as shown in messages: every surrogate code point (a str can hold
// them only unpaired, even two that would pair in UTF-16) becomes U+FFFD.
PyObject* display_path(PyObject* path) {
    PyRef encoded(PyUnicode_AsEncodedString(path, "utf-8", "surrogatepass"));
    if (!encoded) return nullptr;
    std::string text = bytes_of(encoded.get());
    std::string shown;
    shown.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        // A surrogate encodes as ED A0..BF xx; nothing else starts that way.
        const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
        if (byte(i) == 0xED && i + 2 < text.size() && byte(i + 1) >= 0xA0) {
            shown += "\xEF\xBF\xBD";
            i += 2;
        } else {
            shown += text[i];
        }
    }
    return PyUnicode_DecodeUTF8(shown.data(), static_cast<Py_ssize_t>(shown.size()), "replace");
}

PyObject* raise_file_error(PyObject* path, const FileError& error) {
    PyRef shown(display_path(path));
    if (!shown) return nullptr;
    const char* verb = error.kind == FileError::Kind::Open ? "open" : "mmap";
    PyRef message(PyUnicode_FromFormat("cannot %s %U: %s", verb, shown.get(), error.reason.c_str()));
    if (message) PyErr_SetObject(PyExc_OSError, message.get());
    return nullptr;
}

PyObject* raise_parse_error(const ParseError& error) {
    const std::string& m = error.message;
    PyRef message(PyUnicode_DecodeUTF8(m.data(), static_cast<Py_ssize_t>(m.size()), "replace"));
    if (message) PyErr_SetObject(PyExc_ValueError, message.get());
    return nullptr;
}

PyObject* read_psf_impl(PyObject* args, PyObject* kwargs) {
    PyObject* arg = bind_path(args, kwargs);
    if (arg == nullptr) return nullptr;
    PyRef path(fspath_str(arg));
    if (!path) return nullptr;
    std::string native;
    if (!native_path(path.get(), native)) return nullptr;

    auto mapped = map_file(native);
    if (auto* error = std::get_if<FileError>(&mapped)) return raise_file_error(path.get(), *error);
    MappedFile& file = std::get<MappedFile>(mapped);

    auto parsed = parse_psfbin(file.bytes(), file.size());
    if (!parsed) return raise_parse_error(parsed.error());
    ParseResult& result = parsed.value();
    SignalCatalog& catalog = result.catalog;
    auto sweeps = resolve_signals(catalog.sweep_ids, catalog.signals);
    if (!sweeps) return raise_parse_error(sweeps.error());
    auto traces = resolve_signals(catalog.trace_ids, catalog.signals);
    if (!traces) return raise_parse_error(traces.error());
    catalog.signals.clear();
    // Nothing refers to the file's bytes from here on.
    file.release_view();

    PyObject* psf = assemble_psf(std::move(result.header), std::move(sweeps).value(), std::move(traces).value(),
                                 std::move(catalog.values));
    file.close();
    return psf;
}

// C++ exceptions never reach the interpreter: the only one that can arise is
// an allocation failure of a standard container.
PyObject* read_psf(PyObject*, PyObject* args, PyObject* kwargs) {
    try {
        return read_psf_impl(args, kwargs);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (...) {
        return set_internal_error("unexpected C++ exception in read_psf");
    }
}

}  // namespace

PyMethodDef read_psf_def = {
    "read_psf",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_psf)),
    METH_VARARGS | METH_KEYWORDS,
    "read_psf(path)\n--\n\nParse a psfbin file and return a [`Psf`].",
};

}  // namespace karvo
