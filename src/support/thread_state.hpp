// The per-thread state that the C++ runtime creates lazily, made to exist before it is needed.
//
// The runtime's per-thread exception record lives in thread-local storage of a library that the
// interpreter loaded after its threads started, so the C library allocates it on a thread's first
// use, and when that allocation fails it can only abort the process. Every thread of ours
// therefore touches the record before it could throw (every throw uses it), and only after
// showing that memory is there to be had: probe blocks freed just before the touch serve it.
#pragma once

namespace lindorf {

// Probes for memory, then touches the calling thread's exception record. False (and nothing
// touched) when the probe fails: the thread must then neither throw nor take work. Allocates
// nothing that outlives the call and never throws.
bool prepare_thread_state() noexcept;

}  // namespace lindorf
