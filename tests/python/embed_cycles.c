// Embeds Python three times in one process: each cycle initialises the interpreter, runs the
// snippet given as the only argument with `cycle` set to 1, 2, 3, and finalises it again.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

int main(int argc, char** argv) {
    int failed = argc != 2;
    for (int cycle = 1; cycle <= 3 && !failed; ++cycle) {
        Py_Initialize();
        PyObject* code = PyUnicode_FromFormat("cycle = %d\n%s", cycle, argv[1]);
        failed = code == NULL || PyRun_SimpleString(PyUnicode_AsUTF8(code)) != 0;
        Py_XDECREF(code);
        failed |= Py_FinalizeEx() < 0;
    }
    return failed;
}
