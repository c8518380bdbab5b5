#include "estimators/unlocked.hpp"

#include <nanobind/nanobind.h>

#include <chrono>

namespace lindorf::estimators {

namespace nb = nanobind;

namespace {

constexpr std::chrono::milliseconds poll_interval{50};

}  // namespace

void run_unlocked(unsigned threads, StopToken& stop, const std::function<void(WorkerPool*)>& work,
                  const std::function<void()>& report) {
    WorkerPool pool(threads);
    nb::gil_scoped_release unlocked;
    run_polling(
        pool, [&] { work(&pool); },
        [&] {
            nb::gil_scoped_acquire locked;
            if (PyErr_CheckSignals() != 0) throw nb::python_error();
            if (report) report();
        },
        poll_interval, &stop);
}

}  // namespace lindorf::estimators
