// Integer conversions at the Python boundary.
#pragma once

#include "interop/ref.hpp"

#include <cstdint>
#include <optional>

namespace qv {

// The module's conversion of `width`/`height`-style arguments to a signed 32-bit integer:
// an int as it is, any other object through its integer conversion (a float truncates);
// TypeError "an integer is required" without one, OverflowError outside the 32-bit range.
// Returns false with the error set.
bool to_int32(PyObject* obj, int32_t* out);

// The low 8 bits of int(obj) in two's complement (the host's int() conversion), so every
// integer wraps modulo 256. Returns -1 with the error set.
int int_low_byte(PyObject* obj);

// A signed 64-bit product, or nothing when it overflows 32-bit signed arithmetic.
inline std::optional<int32_t> product_int32(int64_t a, int64_t b, int64_t c = 1)
{
    const int64_t ab = a * b;  // |a|,|b| < 2^31: fits in 64 bits
    if (ab > INT32_MAX || ab < INT32_MIN) return std::nullopt;
    const int64_t abc = ab * c;
    if (abc > INT32_MAX || abc < INT32_MIN) return std::nullopt;
    return static_cast<int32_t>(abc);
}

}  // namespace qv
