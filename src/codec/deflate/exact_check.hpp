// Whether the exact deflater may stand in for the zlib it was built against: the library must
// be one whose level-6 output it reproduces (1.2.12 to 1.3.x, not another library behind the
// same interface), and a probe compressed both ways must come out the same. Decided once, at
// the first use, without a lock (two threads that ask at once both check and agree).
#pragma once

namespace qv::deflate {

bool exact_deflate_agrees_with_zlib();

// Whether a zlib version string (zlibVersion()) names a release whose level-6 output the exact
// deflater reproduces: 1.2.12 to 1.3.x, and not another library behind the same interface.
bool zlib_version_supported(const char* version);

}  // namespace qv::deflate
