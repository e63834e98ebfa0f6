// Core statuses as the host's exceptions: the exact type and message of each refusal, and the
// host's own struct errors, got by running struct on the field it could not take.
#pragma once

#include "codec/status.hpp"
#include "interop/ref.hpp"

namespace qv {

// Sets the exception of a failed `status` and returns false. Statuses whose error is the
// host's struct error (ErrorKind::kHostUnpack, kHostPack) are raised by the caller, which
// holds the field, with raise_host_unpack or raise_host_pack.
bool raise_status(PyObject* module, const Status& status);

// Runs the host's struct.unpack(fmt, field) so that the host raises its own error for a field
// that was refused natively. Always returns false.
bool raise_host_unpack(PyObject* module, const char* fmt, PyObject* field);

// Runs the host's struct.pack(*args) for its own error on a value it cannot pack. Always
// returns false.
bool raise_host_pack(PyObject* module, PyObject* args);

}  // namespace qv
