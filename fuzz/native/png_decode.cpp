// The core PNG decoder on arbitrary bytes from memory, with outputs capped at 16 MiB.
// Input: a whole PNG file (it starts with the signature: decoded as it is), or a flag byte
// then the chunks after the signature; flag bit 0 rewrites every chunk's CRC to match, so
// that the fuzzer gets past the CRC checks to the header and the image data.
// Aborts when a decoded image is inconsistent: sizes that do not follow from the dimensions,
// a filter list of another length or with a type above 4, a chunk count other than the
// records made, or filter types other than those in the inflated data.
#include "fuzz_support.hpp"

#include "codec/png/png_decoder.hpp"

#include <zlib.h>

#include <cstring>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
constexpr size_t kOutputCap = 16u << 20;

// Walks the chunk layout and puts the right CRC at the end of each whole chunk.
void fix_crcs(Bytes& body)
{
    size_t at = 0;
    while (body.size() - at >= 12) {
        const uint32_t length = qv::read_be32(body.data() + at);
        if (length > body.size() - at - 12) return;
        const auto crc = static_cast<uint32_t>(crc32(0, body.data() + at + 4, static_cast<uInt>(length + 4)));
        qv::write_be32(body.data() + at + 8 + length, crc);
        at += 12 + length;
    }
}

class Records final : public qv::png::ChunkRecorder {
public:
    size_t count = 0;
    Bytes idat;
    qv::Status record(const qv::png::Chunk& chunk, bool keep_data) override
    {
        FUZZ_CHECK(chunk.data.size() == chunk.length);
        FUZZ_CHECK(keep_data != chunk.is("IDAT"));
        if (!keep_data) idat.insert(idat.end(), chunk.data.begin(), chunk.data.end());
        ++count;
        return {};
    }
};

// The filter type bytes of the inflated data, one per row (as far as the data go).
Bytes reference_filters(const Bytes& z, size_t scanline, size_t rows)
{
    Bytes out(static_cast<size_t>(scanline * rows));
    uLongf size = static_cast<uLongf>(out.size());
    if (uncompress(out.data(), &size, z.data(), static_cast<uLong>(z.size())) != Z_OK) return {};
    Bytes types;
    for (size_t y = 0; y < rows; ++y) types.push_back(out[y * scanline]);
    return types;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Bytes body;
    if (size >= 8 && std::memcmp(data, kSignature, 8) == 0) {
        body.assign(data + 8, data + size);
    } else if (size >= 1) {
        body.assign(data + 1, data + size);
        if (data[0] & 1) fix_crcs(body);
    }

    qv::png::MemorySource source({body.data(), body.size()}, 0);
    Records records;
    qv::HeapBuffers buffers(kOutputCap);
    qv::InlineExecutor executor;
    qv::DecodedImage image;
    qv::png::ImageHeader header;
    const qv::Status status = qv::png::decode_png({source, records, buffers, executor}, &image, &header);
    FUZZ_CHECK(source.position() <= body.size());
    if (!status.ok()) {
        FUZZ_CHECK(status.code != qv::Code::kHostError && status.code != qv::Code::kFieldSize);
        return 0;
    }

    FUZZ_CHECK(image.width >= 0 && image.height >= 0);
    FUZZ_CHECK(image.channels == 3 || image.channels == 4);
    FUZZ_CHECK(buffers.allocated());
    const auto pixels = static_cast<size_t>(image.width) * static_cast<size_t>(image.height);
    FUZZ_CHECK(image.sizes.pixels == pixels * 3);
    FUZZ_CHECK(image.sizes.with_alpha == (image.channels == 4));
    FUZZ_CHECK(image.sizes.alpha == (image.channels == 4 ? pixels : 0));
    FUZZ_CHECK(image.sizes.with_filters && image.sizes.filters == static_cast<size_t>(image.height));
    FUZZ_CHECK(image.chunk_count == records.count);
    FUZZ_CHECK(header.width == image.width && header.height == image.height);

    const size_t scanline = static_cast<size_t>(image.width) * static_cast<size_t>(image.channels) + 1;
    const Bytes types = reference_filters(records.idat, scanline, static_cast<size_t>(image.height));
    FUZZ_CHECK(types.size() == static_cast<size_t>(image.height));
    for (size_t y = 0; y < types.size(); ++y) {
        FUZZ_CHECK(image.storage.filters[y] <= 4);
        FUZZ_CHECK(image.storage.filters[y] == types[y]);
    }
    return 0;
}
