// What every entry point of the estimators' module shares: the guard that prepares the calling
// thread before anything can throw, and the conversion of keys.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>

#include "support/random.hpp"
#include "support/thread_state.hpp"

namespace lindorf::estimators {

namespace nb = nanobind;

// Every entry point that can throw starts here: the calling thread's exception record must exist
// before anything throws (support/thread_state.hpp). Without memory for it, MemoryError is raised
// through the C API and no C++ exception is thrown.
template <auto Function>
struct Entry;

template <class Result, class... Args, Result (*Function)(Args...)>
struct Entry<Function> {
    static nb::object call(Args... args) {
        if (!prepare_thread_state()) {
            PyErr_NoMemory();
            return nb::object();
        }
        return nb::cast(Function(std::forward<Args>(args)...));
    }
};

template <auto Function>
constexpr auto entry = &Entry<Function>::call;

inline ChaChaKey key_of(const nb::bytes& bytes) {
    if (bytes.size() != sizeof(ChaChaKey)) throw std::invalid_argument("a key is 32 bytes");
    ChaChaKey key;
    std::memcpy(key.data(), bytes.c_str(), key.size());
    return key;
}

inline nb::bytes bytes_of(const ChaChaKey& key) {
    return nb::bytes(reinterpret_cast<const char*>(key.data()), key.size());
}

}  // namespace lindorf::estimators
