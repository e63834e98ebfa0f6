#include "interop/decoded_result.hpp"

#include "codec/limits.hpp"
#include "codec/page_release.hpp"

#include <utility>

namespace qv {

namespace {

Ref new_bytearray(size_t size)
{
    return Ref::consume(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
}

uint8_t* storage_of(const Ref& array)
{
    return array ? reinterpret_cast<uint8_t*>(PyByteArray_AS_STRING(array.get())) : nullptr;
}

// The fields a BMP keeps for writing it back, in the order the writer asks for them.
Ref bmp_record(const BmpHeaderRecord& bmp)
{
    Ref record = Ref::consume(PyDict_New());
    if (!record) return {};
    const std::pair<const char*, Ref> entries[] = {
        {"xppm", Ref::consume(PyLong_FromLong(bmp.xppm))},
        {"yppm", Ref::consume(PyLong_FromLong(bmp.yppm))},
        {"clrUsed", Ref::consume(PyLong_FromUnsignedLong(bmp.clr_used))},
        {"clrImportant", Ref::consume(PyLong_FromUnsignedLong(bmp.clr_important))},
    };
    for (const auto& [key, value] : entries) {
        if (!value || PyDict_SetItemString(record.get(), key, value.get()) < 0) return {};
    }
    return record;
}

Ref or_none(Ref value) { return value ? std::move(value) : Ref::own(Py_None); }

}  // namespace

Status ByteArrayOutputs::allocate(const OutputSizes& sizes, OutputStorage* out)
{
    pixels = new_bytearray(sizes.pixels_capacity > sizes.pixels ? sizes.pixels_capacity : sizes.pixels);
    if (!pixels) return Status::of(Code::kHostError);
    if (sizes.with_alpha) {
        alpha = new_bytearray(sizes.alpha);
        if (!alpha) return Status::of(Code::kHostError);
    }
    if (sizes.with_filters) {
        filters = new_bytearray(sizes.filters);
        if (!filters) return Status::of(Code::kHostError);
    }
    *out = {storage_of(pixels), storage_of(alpha), storage_of(filters)};
    return {};
}

Status ByteArrayOutputs::finish(const OutputSizes& sizes)
{
    // Cut back by less than half, a bytearray keeps its allocation (only its length changes),
    // so the pages past the pixels go back to the system. They are released while they are
    // certainly the buffer's own: a larger cut reallocates it. Less room than a release block
    // stays: its pages would cost more in faults, when the allocator hands the memory to the
    // next image, than they are worth. (Reallocating every cut would give the address space
    // back too, but costs more still: the next image of that size then gets fresh pages.)
    if (sizes.pixels_capacity - sizes.pixels >= limits::kReleaseBlock) {
        release_pages(storage_of(pixels) + sizes.pixels + 1, sizes.pixels_capacity - sizes.pixels - 1);
    }
    if (PyByteArray_Resize(pixels.get(), static_cast<Py_ssize_t>(sizes.pixels)) < 0) return Status::of(Code::kHostError);
    return {};
}

bool take_result(DecodeResult* result, Ref (&values)[kResultSize])
{
    const DecodedImage& image = result->image;
    values[kWidth] = Ref::consume(PyLong_FromLong(image.width));
    values[kHeight] = Ref::consume(PyLong_FromLong(image.height));
    values[kChannels] = Ref::consume(PyLong_FromLong(image.channels));
    if (!values[kWidth] || !values[kHeight] || !values[kChannels]) return false;
    if (image.format == ImageFormat::kBmp) {
        values[kBmpMeta] = bmp_record(image.bmp);
        if (!values[kBmpMeta]) return false;
    } else {
        values[kBmpMeta] = Ref::own(Py_None);
    }
    values[kPixels] = or_none(std::move(result->buffers.pixels));
    values[kAlpha] = or_none(std::move(result->buffers.alpha));
    values[kPngFilters] = or_none(std::move(result->buffers.filters));
    values[kChunks] = or_none(std::move(result->chunks));
    return true;
}

}  // namespace qv
