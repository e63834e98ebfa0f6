// Running plain C++ work with the GIL released, through the host's own macros.
#pragma once

#include "interop/ref.hpp"

#include <cxxabi.h>
#include <unistd.h>

namespace qv {

// Runs `work` (no Python objects, no exceptions) without the GIL. A thread that wants the
// GIL back after the interpreter began finalising is ended by the host (up to 3.13) with a
// forced unwind; that unwind would run the destructors of the references our callers hold,
// freeing objects of a dying interpreter without its lock. Such a thread stops here instead
// and waits for the process to end, as later hosts do on their own.
template <typename Work>
void without_gil(Work work)
{
    try {
        Py_BEGIN_ALLOW_THREADS
        work();
        Py_END_ALLOW_THREADS
    } catch (abi::__forced_unwind&) {
        for (;;) pause();
    }
}

}  // namespace qv
