// Embeds Python three times in one process: each cycle initialises the interpreter, runs the
// snippet given as the only argument (with `cycle` set to 1, 2, 3) and finalises it again.
// Exits with 1 when a snippet raised or a finalisation failed.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <stdio.h>
int main(int argc, char** argv) {
    if (argc != 2) return 2;
    int failed = 0;
    for (int cycle = 1; cycle <= 3; ++cycle) {
        Py_Initialize();
        char prefix[32];
        snprintf(prefix, sizeof prefix, "cycle = %d\n", cycle);
        PyObject* code = PyUnicode_FromFormat("%s%s", prefix, argv[1]);
        const char* text = code ? PyUnicode_AsUTF8(code) : NULL;
        if (text == NULL || PyRun_SimpleString(text) != 0) failed = 1;
        Py_XDECREF(code);
        if (Py_FinalizeEx() < 0) failed = 1;
    }
    return failed;
}
