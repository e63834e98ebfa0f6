// Decoding image data in one go: the whole zlib stream inflated straight into the pixel buffer,
// then every scanline rebuilt in place. Only ever a shortcut:
// it answers exactly when its answer is the streaming zlib path's, and otherwise leaves the
// decode to that path from the start.
#pragma once

#include "codec/bytes.hpp"
#include "codec/png/row_inflater.hpp"

#include <span>

namespace qv::png {

enum class FastDecode {
    kNotTaken,   // not for this data: decode it with inflate_rows
    kDone,       // every row rebuilt into the targets
    kBadFilter,  // the stream is whole and of the right size, but a row has a filter type above 4
};

// Whether the shortcut is worth asking for `layout`: any image with image data.
bool fast_decode_applies(const ScanlineLayout& layout);

// Where the filtered data inflate: into the pixel buffer itself, which must then hold
// layout.inflated_size() bytes; or, for rows without pixels (whose data are their filter types
// alone), into the filter list, which is exactly their size.
bool fast_decode_in_pixels(const ScanlineLayout& layout);

// On kDone the targets hold the image: the first width * height * 3 bytes of the pixel buffer,
// and the alpha plane for RGBA. Pages of the pixel buffer past those bytes may have been handed
// back to the system (their contents are undefined). `bad_filter` gets the first filter type
// above 4 on kBadFilter.
FastDecode fast_decode(std::span<const ByteSpan> pieces, const ScanlineLayout& layout, const RowTargets& targets,
                       int* bad_filter);

}  // namespace qv::png
