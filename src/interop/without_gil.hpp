// Work done with the GIL released.
#pragma once

#include <Python.h>

#include <unistd.h>

#include <type_traits>
#include <utility>

namespace qv {

// Runs `work()` (plain C++ that touches no Python object) without the GIL, takes it back and
// returns what `work` returned.
//
// A daemon thread that comes back after the interpreter has begun to finalise is ended by
// the host (up to 3.13) while it waits for the GIL, with pthread_exit. That unwinds through
// this frame and all of its callers, whose destructors would then drop references and release
// buffers of an interpreter that is going away. Such a thread is parked here instead, holding
// nothing, until the process exits (what newer hosts do themselves).
template <typename Work>
auto without_gil(Work&& work)
{
    PyThreadState* state = PyEval_SaveThread();
    auto take_back = [state] {
        try {
            PyEval_RestoreThread(state);
        } catch (...) {  // only the host's thread exit (a forced unwind) comes out of it
            for (;;) pause();
        }
    };
    if constexpr (std::is_void_v<decltype(std::forward<Work>(work)())>) {
        std::forward<Work>(work)();
        take_back();
    } else {
        auto result = std::forward<Work>(work)();
        take_back();
        return result;
    }
}

}  // namespace qv
