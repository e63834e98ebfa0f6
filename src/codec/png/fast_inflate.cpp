#include "codec/png/fast_inflate.hpp"

#ifdef QUORVEX_HAVE_LIBDEFLATE
#include <libdeflate.h>

#include <memory>
#endif

namespace qv::png {

namespace {

// CMF 0x78: deflate with the 32 KiB window; FLG bit 5: a preset dictionary follows.
constexpr uint8_t kDeflate32K = 0x78;
constexpr uint8_t kPresetDictionary = 0x20;

bool shortcut_applies(ByteSpan data)
{
    return data.size() >= 2 && data[0] == kDeflate32K && (data[1] & kPresetDictionary) == 0;
}

}  // namespace

#ifdef QUORVEX_HAVE_LIBDEFLATE

namespace {

struct FreeDecompressor {
    void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};

// One decompressor a thread, made on first use (it holds no state between calls).
libdeflate_decompressor* thread_decompressor()
{
    thread_local std::unique_ptr<libdeflate_decompressor, FreeDecompressor> decompressor(
        libdeflate_alloc_decompressor());
    return decompressor.get();
}

}  // namespace

bool fast_inflate_available() { return true; }

bool fast_inflate_exact(ByteSpan data, MutableByteSpan out)
{
    if (!shortcut_applies(data)) return false;
    libdeflate_decompressor* decompressor = thread_decompressor();
    if (decompressor == nullptr) return false;
    size_t used = 0;
    size_t produced = 0;
    // With `used` asked for, data after the end of the stream is allowed and left alone.
    const libdeflate_result result = libdeflate_zlib_decompress_ex(decompressor, data.data(), data.size(), out.data(),
                                                                   out.size(), &used, &produced);
    return result == LIBDEFLATE_SUCCESS && produced == out.size();
}

#else

bool fast_inflate_available() { return false; }

bool fast_inflate_exact(ByteSpan data, MutableByteSpan)
{
    (void)shortcut_applies(data);
    return false;
}

#endif

}  // namespace qv::png
