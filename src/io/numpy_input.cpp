#include "io/numpy_input.hpp"

// The C API table is fetched by hand (see load_api_table) rather than by import_array(), so that
// a missing NumPy is an ordinary failure of one call instead of a failed import of the module.
// Building against NumPy 2 headers stays usable on a NumPy 1.26 runtime: everything used here
// exists with the same layout in both, and the target version is pinned to what 1.26 provides.
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define NPY_TARGET_VERSION NPY_1_25_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL lindorf_numpy_api
#include <numpy/arrayobject.h>

#include <string>

#include "io/strided.hpp"
#include "support/error.hpp"
#include "support/output.hpp"

namespace lindorf {

namespace {

// NumPy 2 renamed numpy.core to numpy._core and keeps the old name only as a deprecated alias
// (whose attributes warn, and so raise under `-W error`); NumPy 1.26 already ships numpy._core as
// a forwarding shim, and only older releases need the old name.
PyObject* import_multiarray() {
    PyObject* module = PyImport_ImportModule("numpy._core.multiarray");
    if (module == nullptr && PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) {
        PyErr_Clear();
        module = PyImport_ImportModule("numpy.core.multiarray");
    }
    return module;
}

// The same checks as NumPy's own import_array(): the running NumPy must offer at least the ABI
// and the features these headers were compiled for.
int check_api_version() {
    if (NPY_VERSION < PyArray_GetNDArrayCVersion()) {
        PyErr_Format(PyExc_RuntimeError,
                     "module compiled against NumPy ABI version 0x%x but this NumPy is 0x%x",
                     static_cast<unsigned>(NPY_VERSION), PyArray_GetNDArrayCVersion());
        return -1;
    }
    unsigned runtime = PyArray_GetNDArrayCFeatureVersion();
    if (NPY_FEATURE_VERSION > runtime) {
        PyErr_Format(PyExc_RuntimeError,
                     "module compiled against NumPy C API version 0x%x but this NumPy has 0x%x",
                     static_cast<unsigned>(NPY_FEATURE_VERSION), runtime);
        return -1;
    }
    PyArray_RUNTIME_VERSION = static_cast<int>(runtime);
    return 0;
}

// 0 with the table installed, or -1 with a Python error set and no table.
int load_api_table() {
    PyObject* module = import_multiarray();
    if (module == nullptr) return -1;
    PyObject* capsule = PyObject_GetAttrString(module, "_ARRAY_API");
    Py_DECREF(module);
    if (capsule == nullptr) return -1;
    void* table = nullptr;
    if (PyCapsule_CheckExact(capsule)) {
        table = PyCapsule_GetPointer(capsule, PyCapsule_GetName(capsule));
    } else {
        PyErr_Format(PyExc_TypeError, "_ARRAY_API is a '%s' object, not a capsule",
                     Py_TYPE(capsule)->tp_name);
    }
    Py_DECREF(capsule);
    if (table == nullptr) return -1;
    PyArray_API = static_cast<void**>(table);
    if (check_api_version() < 0) {
        PyArray_API = nullptr;
        return -1;
    }
    return 0;
}

// repr() of the raised exception, which is cleared.
std::string render_python_error() {
    PyObject* error = PyErr_GetRaisedException();
    PyObject* text = error != nullptr ? PyObject_Repr(error) : nullptr;
    Py_XDECREF(error);
    const char* utf8 = text != nullptr ? PyUnicode_AsUTF8(text) : nullptr;
    std::string rendered = utf8 != nullptr ? utf8 : "<unprintable error>";
    Py_XDECREF(text);
    PyErr_Clear();
    return rendered;
}

// Kept only once fetched successfully, so a failed fetch is tried again by the next call.
void ensure_api_table() {
    if (PyArray_API != nullptr) return;
    if (load_api_table() < 0) {
        fail("Failed to access NumPy array API capsule: " + render_python_error());
    }
}

}  // namespace

void forget_numpy_api() noexcept {
    PyArray_API = nullptr;
}

namespace {

void set_not_an_array_error(PyObject* object) {
    PyObject* name = PyType_GetQualName(Py_TYPE(object));
    if (name == nullptr) {
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError,
                        "'<failed to extract type name>' object cannot be converted to "
                        "'PyArray<T, D>'");
        return;
    }
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to 'PyArray<T, D>'", name);
    Py_DECREF(name);
}

void set_type_mismatch_error(PyArray_Descr* actual, PyArray_Descr* wanted) {
    PyObject* from = PyObject_Str(reinterpret_cast<PyObject*>(actual));
    PyObject* to = from != nullptr ? PyObject_Str(reinterpret_cast<PyObject*>(wanted)) : nullptr;
    if (to != nullptr) PyErr_Format(PyExc_TypeError, "type mismatch:\n from=%U, to=%U", from, to);
    Py_XDECREF(from);
    Py_XDECREF(to);
}

// Python code that runs between acceptance and conversion (a later argument's __index__) can
// reshape an accepted array or change its element type in place. Reading the array by the
// description it had when accepted would then leave its memory, so it must pass again as it is.
void check_still_accepted(PyObject* array, ArraySpec spec, const char* what) {
    if (accept_array(array, spec) == nullptr) {
        fail(std::string(what) + " changed after it was accepted: " + render_python_error());
    }
}

}  // namespace

ArraySpec feature_array_spec() {
    return {.n_dims = 2, .type_num = NPY_FLOAT};
}

ArraySpec label_array_spec() {
    return {.n_dims = 1, .type_num = NPY_UINT};
}

PyObject* accept_array(PyObject* object, ArraySpec spec) {
    ensure_api_table();
    if (!PyArray_Check(object)) {
        set_not_an_array_error(object);
        return nullptr;
    }
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    if (PyArray_NDIM(array) != spec.n_dims) {
        PyErr_Format(PyExc_TypeError, "dimensionality mismatch:\n from=%d, to=%d",
                     PyArray_NDIM(array), spec.n_dims);
        return nullptr;
    }
    PyArray_Descr* wanted = PyArray_DescrFromType(spec.type_num);
    if (wanted == nullptr) return nullptr;
    PyArray_Descr* actual = PyArray_DESCR(array);
    bool equivalent = actual == wanted || PyArray_EquivTypes(actual, wanted);
    if (!equivalent) set_type_mismatch_error(actual, wanted);
    Py_DECREF(wanted);
    return equivalent ? object : nullptr;
}

FeatureMatrix numpy_to_x(PyObject* features) {
    check_still_accepted(features, feature_array_spec(), "the feature array");
    auto* array = reinterpret_cast<PyArrayObject*>(features);
    const npy_intp* shape = PyArray_DIMS(array);
    const npy_intp* strides = PyArray_STRIDES(array);
    FeatureMatrix rows = copy_strided_matrix({
        .data = PyArray_DATA(array),
        .n_rows = static_cast<std::size_t>(shape[0]),
        .n_cols = static_cast<std::size_t>(shape[1]),
        .row_stride = strides[0],
        .col_stride = strides[1],
    });
    stdout_writer().write(x_shape_line(rows));
    return rows;
}

Labels numpy_to_y(PyObject* labels) {
    check_still_accepted(labels, label_array_spec(), "the label array");
    auto* array = reinterpret_cast<PyArrayObject*>(labels);
    Labels out = copy_strided_vector({
        .data = PyArray_DATA(array),
        .length = static_cast<std::size_t>(PyArray_DIMS(array)[0]),
        .stride = PyArray_STRIDES(array)[0],
    });
    stdout_writer().write(y_shape_line(out));
    return out;
}

}  // namespace lindorf
