// The extension module lindorf._lindorf: its definition, its two functions and its
// initialisation. The module supports one interpreter at a time and hands out the same module
// object every time that interpreter initialises it; after the interpreter is finalised, the
// next one (an application that embeds Python may start it again) gets a module of its own.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <optional>

#include "io/numpy_input.hpp"
#include "lib/binding.hpp"
#include "lib/entry.hpp"
#include "lib/guard.hpp"

namespace lindorf {
namespace {

constexpr const char* tree_parameters[] = {"x_py", "y_py", "max_depth"};
constexpr const char* forest_parameters[] = {"x_py", "y_py", "max_depth", "n_trees"};
constexpr Signature tree_signature{"train_tree_np", tree_parameters};
constexpr Signature forest_signature{"train_forest_np", forest_parameters};
// bind_arguments fills a fixed array of max_parameters slots.
static_assert(tree_signature.parameters.size() <= max_parameters &&
              forest_signature.parameters.size() <= max_parameters);

// The converted arguments of either function; n_trees only for the forest.
struct TrainingArguments {
    PyObject* x = nullptr;  // borrowed, accepted arrays
    PyObject* y = nullptr;
    std::uint32_t max_depth = 0;
    std::uint32_t n_trees = 0;
};

// Arguments are converted in parameter order and the first failure ends the call, so a bad array
// is reported before a bad integer and nothing is printed for either. Empty with the error set.
std::optional<TrainingArguments> training_arguments(const Signature& signature,
                                                    PyObject* const* args, Py_ssize_t nargs,
                                                    PyObject* kwnames) {
    std::optional<BoundArguments> bound = bind_arguments(signature, args, nargs, kwnames);
    if (!bound) return std::nullopt;
    TrainingArguments out;
    out.x = array_argument(bound->values[0], "x_py", feature_array_spec());
    if (out.x == nullptr) return std::nullopt;
    out.y = array_argument(bound->values[1], "y_py", label_array_spec());
    if (out.y == nullptr) return std::nullopt;
    std::optional<std::uint32_t> max_depth = u32_argument(bound->values[2], "max_depth");
    if (!max_depth) return std::nullopt;
    out.max_depth = *max_depth;
    if (signature.parameters.size() > 3) {
        std::optional<std::uint32_t> n_trees = u32_argument(bound->values[3], "n_trees");
        if (!n_trees) return std::nullopt;
        out.n_trees = *n_trees;
    }
    return out;
}

PyObject* train_tree_np(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::optional<TrainingArguments> a =
            training_arguments(tree_signature, args, nargs, kwnames);
        if (!a) return nullptr;
        train_tree(a->x, a->y, a->max_depth);
        Py_RETURN_NONE;
    });
}

PyObject* train_forest_np(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::optional<TrainingArguments> a =
            training_arguments(forest_signature, args, nargs, kwnames);
        if (!a) return nullptr;
        train_forest(a->x, a->y, a->max_depth, a->n_trees);
        Py_RETURN_NONE;
    });
}

template <class Function>
PyCFunction as_method(Function* function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// Added by the initialiser rather than listed in the module definition, in this order. The
// documentation is only a text signature, from which Python derives __text_signature__.
PyMethodDef module_functions[] = {
    {
        .ml_name = "train_tree_np",
        .ml_meth = as_method(train_tree_np),
        .ml_flags = METH_FASTCALL | METH_KEYWORDS,
        .ml_doc = "train_tree_np(x_py, y_py, max_depth)\n--\n\n",
    },
    {
        .ml_name = "train_forest_np",
        .ml_meth = as_method(train_forest_np),
        .ml_flags = METH_FASTCALL | METH_KEYWORDS,
        .ml_doc = "train_forest_np(x_py, y_py, max_depth, n_trees)\n--\n\n",
    },
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_lindorf",
    .m_doc = "",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

// The initialisation record: the interpreter that owns the module (-1 until one does) and the
// module object it got. It lives as long as that interpreter.
std::atomic<std::int64_t> owning_interpreter{-1};
PyObject* module_object = nullptr;

// Runs at the very end of finalisation, when no Python object may be touched any more: the
// record and everything else kept from the interpreter are dropped, not released (their memory
// went with the interpreter or stays with it), and identifiers start again at 0 in a new one.
void forget_interpreter() {
    module_object = nullptr;
    forget_panic_type();
    forget_numpy_api();
    owning_interpreter.store(-1);
}

// The module's __all__, created as an empty list when the module has none yet.
PyObject* all_list(PyObject* module) {
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (all != nullptr || !PyErr_ExceptionMatches(PyExc_AttributeError)) return all;
    PyErr_Clear();
    all = PyList_New(0);
    if (all != nullptr && PyObject_SetAttrString(module, "__all__", all) < 0) Py_CLEAR(all);
    return all;
}

// Appends the function's name to __all__, then binds the function as a module attribute.
int add_function(PyObject* module, PyObject* function) {
    PyObject* name = PyObject_GetAttrString(function, "__name__");
    if (name == nullptr) return -1;
    PyObject* all = all_list(module);
    int status = -1;
    if (all != nullptr && PyList_Append(all, name) == 0) {
        status = PyObject_SetAttr(module, name, function);
    }
    Py_XDECREF(all);
    Py_DECREF(name);
    return status;
}

// A built-in bound to the module, its __module__ being the module's name at this moment.
int add_method(PyObject* module, PyMethodDef* definition) {
    PyObject* module_name = PyModule_GetNameObject(module);
    if (module_name == nullptr) return -1;
    PyObject* function = PyCMethod_New(definition, module, module_name, nullptr);
    Py_DECREF(module_name);
    if (function == nullptr) return -1;
    int status = add_function(module, function);
    Py_DECREF(function);
    return status;
}

PyObject* create_module() {
    PyObject* module = PyModule_Create(&module_definition);
    if (module == nullptr) return nullptr;
    for (PyMethodDef* definition = module_functions; definition->ml_name != nullptr; ++definition) {
        if (add_method(module, definition) < 0) {
            Py_DECREF(module);
            return nullptr;
        }
    }
    return module;
}

PyObject* initialise() {
    std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter == -1) return nullptr;
    std::int64_t owner = -1;
    if (!owning_interpreter.compare_exchange_strong(owner, interpreter) && owner != interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "lindorf._lindorf cannot be loaded in a sub-interpreter: it supports "
                        "only the interpreter that first imported it");
        return nullptr;
    }
    if (module_object == nullptr) {
        module_object = create_module();
        if (module_object == nullptr) return nullptr;
        // Without the hook (the interpreter's table of them is full) a later interpreter would
        // get this one's dead module: better no module now.
        if (Py_AtExit(forget_interpreter) < 0) {
            Py_CLEAR(module_object);
            PyErr_SetString(PyExc_ImportError,
                            "lindorf._lindorf cannot register its finalisation hook");
            return nullptr;
        }
    }
    return Py_NewRef(module_object);
}

}  // namespace
}  // namespace lindorf

PyMODINIT_FUNC PyInit__lindorf() {
    return lindorf::guarded([] { return lindorf::initialise(); });
}
