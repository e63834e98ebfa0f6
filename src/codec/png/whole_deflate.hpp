// Compressing an image's filtered scanlines in one go with libdeflate, for callers whose
// compressed bytes are theirs to choose (the converter): smaller files than zlib's level 6 in
// less time. The module's own writers keep zlib, whose bytes they promise.
#pragma once

#include "codec/png/scanline_encoder.hpp"

#include <cstdint>
#include <vector>

namespace qv::png {

// The libdeflate level the converter uses: on the shared bench images the smallest output whose
// compression time stays under zlib level 6's on every image.
inline constexpr int kConverterLevel = 7;

// Whether the build has libdeflate (without it, whole_deflate always fails).
bool whole_deflate_available();

// The zlib stream of the image's filtered scanlines (filter types from `image.filters`, type 0
// without them) at libdeflate `level` (1 to 12). False when the build has no libdeflate, the
// level is out of range, or memory runs out.
bool whole_deflate(const ScanlineImage& image, int level, std::vector<uint8_t>* out);

}  // namespace qv::png
