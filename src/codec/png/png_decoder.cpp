#include "codec/png/png_decoder.hpp"

#include "codec/limits.hpp"
#include "codec/png/fast_decode.hpp"
#include "codec/png/row_inflater.hpp"

#include <new>
#include <vector>

namespace qv::png {

namespace {

// The IDAT data to inflate, as spans the source keeps in place.
struct CompressedPieces {
    std::vector<ByteSpan> spans;
    uint64_t total = 0;
};

Status gather(ChunkSource& source, const Chunk& chunk, CompressedPieces* pieces)
{
    if (chunk.length == 0) return {};  // adds nothing to the zlib stream
    if (const Status kept = source.keep_data(); !kept.ok()) return kept;
    try {
        pieces->spans.push_back(chunk.data);
    } catch (const std::bad_alloc&) {
        return Status::of(Code::kNoMemory);
    }
    pieces->total += chunk.length;
    return {};
}

Status read_chunks(const DecodeHooks& hooks, ImageHeader* header, CompressedPieces* pieces, size_t* count)
{
    for (;;) {
        Chunk chunk;
        if (const Status read = next_chunk(hooks.source, hooks.executor, &chunk); !read.ok()) return read;
        if (chunk.end) return {};
        if (chunk.is("IHDR")) {
            if (const Status parsed = parse_ihdr(chunk.data, header); !parsed.ok()) return parsed;
        }
        const bool is_idat = chunk.is("IDAT");
        if (const Status recorded = hooks.records.record(chunk, !is_idat); !recorded.ok()) return recorded;
        ++*count;
        if (is_idat) {
            if (const Status gathered = gather(hooks.source, chunk, pieces); !gathered.ok()) return gathered;
        }
        if (chunk.is("IEND")) return {};
    }
}

}  // namespace

bool outputs_justified(const ImageHeader& header, uint64_t compressed)
{
    // Both factors are below 2^32 and 2^11 once the first check holds: exact in 64 bits.
    return sizes_fit_int32(header) && header.layout().inflated_size() <= compressed * limits::kMaxDeflateRatio;
}

Status decode_png(const DecodeHooks& hooks, DecodedImage* out, ImageHeader* header_out)
{
    ImageHeader header;
    CompressedPieces pieces;
    size_t count = 0;
    if (const Status read = read_chunks(hooks, &header, &pieces, &count); !read.ok()) return read;
    if (header_out != nullptr) *header_out = header;
    if (const Status checked = check_header(header); !checked.ok()) return checked;

    const ScanlineLayout layout = header.layout();
    const bool decodable = outputs_justified(header, pieces.total);
    const bool fast = decodable && fast_decode_applies(layout);
    DecodedImage image;
    image.format = ImageFormat::kPng;
    image.width = header.width;
    image.height = header.height;
    image.channels = header.bytes_per_pixel();
    image.chunk_count = count;
    if (decodable) {
        const size_t pixel_count = static_cast<size_t>(layout.width * layout.height);
        const bool with_alpha = layout.bytes_per_pixel == 4;
        image.sizes = {pixel_count * 3, with_alpha ? pixel_count : 0, static_cast<size_t>(layout.height), with_alpha,
                       true};
        // The shortcut inflates the image data straight into the pixel buffer.
        if (fast && fast_decode_in_pixels(layout)) image.sizes.pixels_capacity = static_cast<size_t>(layout.inflated_size());
        if (const Status made = hooks.outputs.allocate(image.sizes, &image.storage); !made.ok()) return made;
    }

    const RowTargets targets{image.storage.pixels, image.storage.alpha, image.storage.filters};
    InflateOutcome outcome;
    auto inflate = [&] {
        if (fast) {
            int bad_filter = 0;
            switch (fast_decode(pieces.spans, layout, targets, &bad_filter)) {
            case FastDecode::kDone:
                return;
            case FastDecode::kBadFilter:
                outcome.status = Status::of(Code::kBadFilter, bad_filter);
                return;
            case FastDecode::kNotTaken:
                break;  // the zlib path decides, from the start
            }
        }
        outcome = inflate_rows(pieces.spans, layout, decodable ? &targets : nullptr);
    };
    // The most the data can inflate to bounds the work (total < 2^64 / 1032: a file's worth).
    const uint64_t work = pieces.total > UINT64_MAX / limits::kMaxDeflateRatio
                              ? UINT64_MAX
                              : pieces.total * limits::kMaxDeflateRatio;
    if (work >= limits::kHeavyWorkBytes) {
        hooks.executor.run(inflate);
    } else {
        inflate();
    }
    if (!outcome.status.ok()) return outcome.status;
    if (image.sizes.pixels_capacity > image.sizes.pixels) {
        if (const Status cut = hooks.outputs.finish(image.sizes); !cut.ok()) return cut;
    }
    *out = image;
    return {};
}

}  // namespace qv::png
