// Handing memory that a buffer no longer needs back to the system while the buffer stays
// allocated: its whole pages stop counting towards the process's resident memory, and touching
// them again later gives fresh pages. Where the system offers no such call it does nothing.
#pragma once

#include "codec/bytes.hpp"

#include <cstddef>
#include <cstdint>

namespace qv {

// Releases the whole pages inside [begin, begin + size); their contents become undefined. The
// memory stays valid to write (and then to read) for as long as its allocation lives. Returns
// the pages released: empty where none fit, or where the system has no such call or refused.
MutableByteSpan release_pages(uint8_t* begin, size_t size);

}  // namespace qv
