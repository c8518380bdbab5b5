#include "estimators/unlocked.hpp"

#include <nanobind/nanobind.h>

#include <chrono>

namespace lindorf::estimators {

namespace nb = nanobind;

namespace {

constexpr std::chrono::milliseconds poll_interval{50};

// Lets Python handle the signals that came: Ctrl-C's handler raises KeyboardInterrupt, thrown
// on as python_error. The lock must be held.
//
// PyErr_CheckSignals alone would lose an interrupt now and then: it first runs a collection
// that another thread's allocations scheduled, and a finalizer run there takes the pending
// signal's exception as its own, which Python only prints ("Exception ignored in ..."), and the
// work goes on. Python's own loop takes pending signals before a scheduled collection, so the
// check runs a line of Python code first.
class SignalCheck {
  public:
    SignalCheck()
        : code_(nb::steal(Py_CompileString("None", "<lindorf: signals>", Py_eval_input))),
          globals_(nb::steal(PyDict_New())) {
        if (!code_.is_valid() || !globals_.is_valid()) throw nb::python_error();
    }

    void operator()() const {
        nb::object ran = nb::steal(PyEval_EvalCode(code_.ptr(), globals_.ptr(), globals_.ptr()));
        if (!ran.is_valid() || PyErr_CheckSignals() != 0) throw nb::python_error();
    }

  private:
    nb::object code_;
    nb::object globals_;
};

}  // namespace

void run_unlocked(unsigned threads, StopToken& stop, const std::function<void(WorkerPool*)>& work,
                  const std::function<void()>& report) {
    const SignalCheck check_signals;
    WorkerPool pool(threads);
    nb::gil_scoped_release unlocked;
    run_polling(
        pool, [&] { work(&pool); },
        [&] {
            nb::gil_scoped_acquire locked;
            check_signals();
            if (report) report();
        },
        poll_interval, &stop);
}

}  // namespace lindorf::estimators
