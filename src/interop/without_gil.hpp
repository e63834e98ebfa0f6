// Work done with the GIL released.
#pragma once

#include <Python.h>

#include <type_traits>
#include <utility>

namespace qv {

// Runs `work()` (plain C++ that touches no Python object) without the GIL, takes it back and
// returns what `work` returned.
//
// A daemon thread that comes back after the interpreter has begun to finalise is ended by
// the host (up to 3.13) inside PyEval_RestoreThread. Its unwind passes this frame and every
// caller in the binding without running any of their cleanups: the binding is built without
// exceptions, so what they hold stays held until the process exits.
template <typename Work>
auto without_gil(Work&& work)
{
    PyThreadState* state = PyEval_SaveThread();
    if constexpr (std::is_void_v<decltype(std::forward<Work>(work)())>) {
        std::forward<Work>(work)();
        PyEval_RestoreThread(state);
    } else {
        auto result = std::forward<Work>(work)();
        PyEval_RestoreThread(state);
        return result;
    }
}

}  // namespace qv
