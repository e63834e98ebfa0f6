// The header a writer of kept chunks must agree with: the IHDR that a decoder honours, which
// is the last IHDR before the first IEND (reading stops there). An image opened from a file
// with several IHDRs therefore saves unchanged.
#pragma once

#include "codec/bytes.hpp"
#include "codec/status.hpp"

#include <cstdint>

namespace qv::png {

class HonouredHeader {
public:
    // The next record other than IDAT, in file order.
    void see(ByteSpan type, ByteSpan data);
    // kIhdrMismatch when the honoured IHDR contradicts the image being written; a list
    // without one (or with one that no decoder could take) passes.
    Status check(int32_t width, int32_t height, bool has_alpha) const;

private:
    bool ended_ = false;
    bool found_ = false;
    ByteSpan ihdr_;
};

}  // namespace qv::png
