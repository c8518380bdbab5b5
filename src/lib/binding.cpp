#include "lib/binding.hpp"

#include <string>
#include <vector>

namespace lindorf {

namespace {

// Position of the parameter called `key`, or -1.
Py_ssize_t parameter_index(const Signature& signature, PyObject* key) {
    for (std::size_t i = 0; i < signature.parameters.size(); ++i) {
        if (PyUnicode_CompareWithASCIIString(key, signature.parameters[i]) == 0) {
            return static_cast<Py_ssize_t>(i);
        }
    }
    return -1;
}

// 'a'  /  'a' and 'b'  /  'a', 'b', and 'c'
std::string quoted_list(const std::vector<const char*>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        out += std::string("'") + names[i] + "'";
    }
    return out;
}

bool report_missing(const Signature& signature, const BoundArguments& bound) {
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < signature.parameters.size(); ++i) {
        if (bound.values[i] == nullptr) missing.push_back(signature.parameters[i]);
    }
    if (missing.empty()) return false;
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s",
                 signature.function, missing.size(), missing.size() == 1 ? "" : "s",
                 quoted_list(missing).c_str());
    return true;
}

// Conversion errors of exactly TypeError get the argument's name in front, keeping the original
// error's cause; anything else (OverflowError, a PanicException) passes through untouched.
void name_type_error(const char* name) {
    PyObject* original = PyErr_GetRaisedException();
    if (original == nullptr) return;
    if (!Py_IS_TYPE(original, reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
        PyErr_SetRaisedException(original);
        return;
    }
    PyObject* renamed = nullptr;
    PyObject* message = PyUnicode_FromFormat("argument '%s': %S", name, original);
    if (message != nullptr) {
        renamed = PyObject_CallOneArg(PyExc_TypeError, message);
        Py_DECREF(message);
    }
    if (renamed == nullptr) {
        Py_DECREF(original);
        return;  // the error that got in the way is raised instead
    }
    PyException_SetCause(renamed, PyException_GetCause(original));
    Py_DECREF(original);
    PyErr_SetRaisedException(renamed);
}

}  // namespace

std::optional<BoundArguments> bind_arguments(const Signature& signature, PyObject* const* args,
                                             Py_ssize_t nargs, PyObject* kwnames) {
    auto n_params = static_cast<Py_ssize_t>(signature.parameters.size());
    if (nargs > n_params) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments but %zd were given",
                     signature.function, n_params, nargs);
        return std::nullopt;
    }
    BoundArguments bound;
    for (Py_ssize_t i = 0; i < nargs; ++i) bound.values[i] = args[i];
    Py_ssize_t n_keywords = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < n_keywords; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t index = parameter_index(signature, key);
        if (index < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         signature.function, key);
            return std::nullopt;
        }
        if (bound.values[index] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'",
                         signature.function, key);
            return std::nullopt;
        }
        bound.values[index] = args[nargs + k];
    }
    if (report_missing(signature, bound)) return std::nullopt;
    return bound;
}

PyObject* array_argument(PyObject* value, const char* name, ArraySpec spec) {
    PyObject* array = accept_array(value, spec);
    if (array == nullptr) name_type_error(name);
    return array;
}

std::optional<std::uint32_t> u32_argument(PyObject* value, const char* name) {
    PyObject* index = PyNumber_Index(value);
    long number = index != nullptr ? PyLong_AsLong(index) : -1;
    Py_XDECREF(index);
    if (number == -1 && PyErr_Occurred()) {
        name_type_error(name);
        return std::nullopt;
    }
    if (number < 0 || number > 0xFFFFFFFFL) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(number);
}

}  // namespace lindorf
