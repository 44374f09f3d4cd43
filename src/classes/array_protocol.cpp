// Sweep and Trace behave as the 1-D arrays they hold, as h5py's datasets do:
// NumPy (np.asarray, ufuncs), matplotlib and pandas take them through
// __array__, and len(), indexing, iteration and arithmetic go to the array,
// whose results are plain NumPy results. A Value does the same where its
// data is numeric (a number, or an array of numbers), and converts to float,
// int and complex. Comparisons stay those of objects (identity), so signals
// remain hashable and `in` keeps its meaning.
#include "classes/result_objects.hpp"
#include "numpy_bridge/numpy_api.hpp"
#include "pysupport/entry.hpp"
#include "pysupport/py_ref.hpp"

namespace karvo {

namespace {

bool is_value(PyObject* o) { return Py_TYPE(o) == result_type(ResultClass::Value); }

// Whether a Value's data is a number or an array of numbers (bool, integer,
// float or complex elements). -1 with an error set on failure.
int numeric_data(PyObject* data) {
    if (PyLong_Check(data) || PyFloat_Check(data) || PyComplex_Check(data)) return 1;
    const int array = is_numpy_array(data);
    if (array <= 0) return array;
    PyRef dtype(PyObject_GetAttrString(data, "dtype"));
    PyRef kind(dtype ? PyObject_GetAttrString(dtype.get(), "kind") : nullptr);
    if (!kind) return -1;
    if (PyUnicode_GetLength(kind.get()) < 1) return PyErr_Occurred() ? -1 : 0;
    const Py_UCS4 k = PyUnicode_ReadChar(kind.get(), 0);
    return k == 'b' || k == 'i' || k == 'u' || k == 'f' || k == 'c' ? 1 : 0;
}

// TypeError for a Value whose data is not numeric.
void set_not_numeric(PyObject* self) {
    PyObject* data = as_named(self)->data;
    PyRef type_name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(data)), "__name__"));
    PyRef name(name_str(as_named(self)));
    if (!type_name || !name) return;
    PyErr_Format(PyExc_TypeError, "the Value %R holds a %U, not numbers", name.get(), type_name.get());
}

// What a signal or value stands for in arithmetic and conversions
// (borrowed): a signal's array, a value's numeric data. Null with an error
// set for a value of other data.
PyObject* operand(PyObject* self) {
    if (!is_value(self)) return signal_array(self);
    PyObject* data = as_named(self)->data;
    const int numeric = numeric_data(data);
    if (numeric < 0) return nullptr;
    if (numeric == 0) {
        set_not_numeric(self);
        return nullptr;
    }
    return data;
}

// Either side of a binary operation may be ours (the other may be anything):
// ours become what they stand for, and the operation is the operand's. A
// value of other data leaves the operation to the other side.
bool is_ours(PyObject* o) { return is_signal(o) || is_value(o); }

template <PyObject* (*Op)(PyObject*, PyObject*)>
PyObject* binary(PyObject* left, PyObject* right) {
    PyObject* a = is_ours(left) ? operand(left) : left;
    PyObject* b = a != nullptr && is_ours(right) ? operand(right) : right;
    if (a == nullptr || b == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return nullptr;
        PyErr_Clear();
        Py_RETURN_NOTIMPLEMENTED;
    }
    return Op(a, b);
}

PyObject* power(PyObject* base, PyObject* exponent, PyObject* modulus) {
    PyObject* a = is_ours(base) ? operand(base) : base;
    PyObject* b = a != nullptr && is_ours(exponent) ? operand(exponent) : exponent;
    if (a == nullptr || b == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return nullptr;
        PyErr_Clear();
        Py_RETURN_NOTIMPLEMENTED;
    }
    return PyNumber_Power(a, b, modulus);
}

template <PyObject* (*Op)(PyObject*)>
PyObject* unary(PyObject* self) {
    PyObject* a = operand(self);
    return a == nullptr ? nullptr : Op(a);
}

// __array__(dtype=None, copy=None): NumPy 2 passes copy (True: always a new
// array; False: never a copy, ValueError where one is needed; None: a copy
// only where needed), NumPy 1 calls it with at most a dtype.
PyObject* to_array(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"dtype", "copy", nullptr};
    PyObject* dtype = Py_None;
    PyObject* copy = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OO:__array__", const_cast<char**>(keywords), &dtype, &copy)) {
        return nullptr;
    }
    int copy_wanted = -1;  // None
    if (copy != Py_None) {
        copy_wanted = PyObject_IsTrue(copy);
        if (copy_wanted < 0) return nullptr;
    }
    PyObject* source = operand(self);
    if (source == nullptr) return nullptr;
    PyRef np(numpy_module());
    if (!np) return nullptr;
    // A signal's array is already one; a value's number becomes one here,
    // which NumPy counts as a copy.
    const bool is_array = is_numpy_array(source) == 1;
    if (PyErr_Occurred()) return nullptr;
    PyRef array(is_array ? PyRef::borrow(source) : PyRef(PyObject_CallMethod(np.get(), "asarray", "O", source)));
    if (!array) return nullptr;
    bool copied = !is_array;
    if (dtype != Py_None) {
        PyRef astype(PyObject_GetAttrString(array.get(), "astype"));
        PyRef call_args(astype ? PyTuple_Pack(1, dtype) : nullptr);
        PyRef call_kwargs(call_args ? Py_BuildValue("{s:O}", "copy", Py_False) : nullptr);
        PyRef converted(call_kwargs ? PyObject_Call(astype.get(), call_args.get(), call_kwargs.get()) : nullptr);
        if (!converted) return nullptr;
        copied = copied || converted.get() != array.get();
        array = std::move(converted);
    }
    if (copy_wanted == 0 && copied) {
        PyErr_SetString(PyExc_ValueError,
                        "Unable to avoid copy while creating an array as requested: the data would have to be "
                        "converted.");
        return nullptr;
    }
    if (copy_wanted == 1 && !copied) return PyObject_CallMethod(array.get(), "copy", nullptr);
    return array.release();
}

PyObject* array_attribute(PyObject* self, const char* name) {
    PyObject* array = signal_array(self);
    return array == nullptr ? nullptr : PyObject_GetAttrString(array, name);
}
PyObject* signal_shape(PyObject* self, void*) { return array_attribute(self, "shape"); }
PyObject* signal_dtype(PyObject* self, void*) { return array_attribute(self, "dtype"); }
PyObject* signal_ndim(PyObject*, void*) { return PyLong_FromLong(1); }
PyObject* signal_size(PyObject* self, void*) { return array_attribute(self, "size"); }

Py_ssize_t signal_length(PyObject* self) {
    PyObject* array = signal_array(self);
    return array == nullptr ? -1 : PyObject_Size(array);
}
PyObject* signal_item(PyObject* self, PyObject* key) {
    PyObject* array = signal_array(self);
    return array == nullptr ? nullptr : PyObject_GetItem(array, key);
}
// A signal is true whatever its length, as every object was before it had
// one: `if psf.get(name):` asks whether the file has it, not for its points.
int signal_bool(PyObject*) { return 1; }
PyObject* signal_iter(PyObject* self) {
    PyObject* array = signal_array(self);
    return array == nullptr ? nullptr : PyObject_GetIter(array);
}

PyObject* value_float(PyObject* self) { return unary<PyNumber_Float>(self); }
PyObject* value_int(PyObject* self) { return unary<PyNumber_Long>(self); }
PyObject* value_complex(PyObject* self, PyObject*) {
    PyObject* a = operand(self);
    if (a == nullptr) return nullptr;
    PyRef builtins(PyImport_ImportModule("builtins"));
    return builtins ? PyObject_CallMethod(builtins.get(), "complex", "O", a) : nullptr;
}

const char array_doc[] =
    "__array__($self, /, dtype=None, copy=None)\n--\n\n"
    "The data as a NumPy array (what np.asarray calls): with `dtype`, converted\n"
    "to it; `copy=True` always gives a new array, `copy=False` raises ValueError\n"
    "where a copy would be needed, None copies only then.";

void add_number_slots(TypeParts& parts) {
    parts.slots.insert(parts.slots.end(), {
        {Py_nb_add, entry_slot<binary<PyNumber_Add>>()},
        {Py_nb_subtract, entry_slot<binary<PyNumber_Subtract>>()},
        {Py_nb_multiply, entry_slot<binary<PyNumber_Multiply>>()},
        {Py_nb_true_divide, entry_slot<binary<PyNumber_TrueDivide>>()},
        {Py_nb_floor_divide, entry_slot<binary<PyNumber_FloorDivide>>()},
        {Py_nb_remainder, entry_slot<binary<PyNumber_Remainder>>()},
        {Py_nb_matrix_multiply, entry_slot<binary<PyNumber_MatrixMultiply>>()},
        {Py_nb_power, entry_slot<power>()},
        {Py_nb_negative, entry_slot<unary<PyNumber_Negative>>()},
        {Py_nb_positive, entry_slot<unary<PyNumber_Positive>>()},
        {Py_nb_absolute, entry_slot<unary<PyNumber_Absolute>>()},
    });
}

}  // namespace

TypeParts array_protocol_parts(ResultClass which) {
    TypeParts parts;
    if (which == ResultClass::Psf) return parts;
    parts.methods.push_back({"__array__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<to_array>)),
                             METH_VARARGS | METH_KEYWORDS, array_doc});
    add_number_slots(parts);
    if (which == ResultClass::Value) {
        parts.slots.insert(parts.slots.end(), {
            {Py_nb_float, entry_slot<value_float>()},
            {Py_nb_int, entry_slot<value_int>()},
        });
        parts.methods.push_back({"__complex__", entry<value_complex>, METH_NOARGS,
                                 "__complex__($self, /)\n--\n\nThe numeric data as a complex."});
        return parts;
    }
    parts.slots.insert(parts.slots.end(), {
        {Py_mp_length, entry_slot<signal_length>()},
        {Py_mp_subscript, entry_slot<signal_item>()},
        {Py_tp_iter, entry_slot<signal_iter>()},
        {Py_nb_bool, entry_slot<signal_bool>()},
    });
    parts.getset = {
        {"shape", entry<signal_shape>, nullptr, "The shape of `data`: (points,).", nullptr},
        {"dtype", entry<signal_dtype>, nullptr, "The dtype of `data`.", nullptr},
        {"ndim", entry<signal_ndim>, nullptr, "1: a signal is one-dimensional.", nullptr},
        {"size", entry<signal_size>, nullptr, "The number of points.", nullptr},
    };
    return parts;
}

}  // namespace karvo
