// The one outcome type of the codec core. Every refusal is a code with its fixed message and
// the kind of error the binding raises for it; codes whose error is the host's own (a struct
// or zlib error) carry what the binding needs to raise it exactly.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qv {

// The kinds of error a refusal maps to, one to one with the host exception the binding raises.
enum class ErrorKind : uint8_t {
    kNone,
    kValue,        // ValueError with the message (and the detail number, for a filter type)
    kOverflow,     // OverflowError with the message
    kMemory,       // MemoryError (with the message when it has one)
    kZlib,         // the host's zlib.error, built from the zlib code and message in the status
    kHostUnpack,   // the host's struct.error, from running struct.unpack on the field
    kHostPack,     // the host's struct.error, from running struct.pack on the value
};

enum class Code : uint8_t {
    kOk,
    // Chunks
    kEofLength,
    kEofType,
    kEofData,
    kEofCrc,
    kCorruptChunk,
    // PNG header
    kIhdrSize,  // IHDR data that is not 13 bytes: the host's unpack error
    kDimensionTooLarge,
    kNoHeader,
    kBitDepth,
    kColourType,
    kConfiguration,
    // PNG image data
    kZlibError,
    kZlibNoMemory,
    kMalformedData,
    kBadFilter,
    kNoMemory,
    // Writing
    kPixelLength,
    kAlphaLength,
    kFilterCount,
    kIhdrMismatch,
    kNegativeDimension,  // a width or height that ">IIBBBBB" cannot pack: the host's pack error
    kChunkTooLong,       // data longer than a 4-byte length field: the host's pack error
    kZlibCompressError,  // "Error %d while compressing data", detail = the zlib code
    // BMP
    kBmpHeader,
    kBmpDibHeader,
    kBmpInfoHeader,
    kBmpFormat,
    kBmpIncomplete,
    kBmpTooLarge,
    // PNG reading
    kSignature,    // the first 8 bytes are not the PNG signature
    kFieldSize,    // a 4-byte field (detail: 0 length, 3 CRC) whose buffer is another size: the host's unpack error
    kHostError,    // the byte source or output buffers failed with the host's own error, already set
    // Writing and BMP
    kNegativeCount,   // a negative pixel count: the BMP reader asks the host's bytearray() for its error
    kBmpSizeField,    // an info-header size field of more than 4 bytes: the host's unpack error ("<I")
    kBmpInfoFields,   // info fields that are not 36 bytes: the host's unpack error ("<iiHHIIiiII")
    kBmpFieldRange,   // a header field outside 0 .. 2^32 - 1: the host's pack error; detail 0 for the
                      // file header, 1 for the info header (the one the host packs and refuses)
    kCount,  // the number of codes; keep it last
};

struct CodeInfo {
    Code code;
    ErrorKind kind;
    const char* message;  // nullptr where the host forms the message
};

// The messages, in the order of `Code`.
inline constexpr CodeInfo kCodeTable[] = {
    {Code::kOk, ErrorKind::kNone, nullptr},
    {Code::kEofLength, ErrorKind::kValue, "Unexpected EOF while reading chunk length"},
    {Code::kEofType, ErrorKind::kValue, "Unexpected EOF while reading chunk type"},
    {Code::kEofData, ErrorKind::kValue, "Unexpected EOF while reading chunk data"},
    {Code::kEofCrc, ErrorKind::kValue, "Unexpected EOF while reading chunk CRC"},
    {Code::kCorruptChunk, ErrorKind::kValue, "Corrupted PNG chunk detected"},
    {Code::kIhdrSize, ErrorKind::kHostUnpack, nullptr},
    {Code::kDimensionTooLarge, ErrorKind::kOverflow, "value too large to convert to int"},
    {Code::kNoHeader, ErrorKind::kValue, "Incomplete PNG header information"},
    {Code::kBitDepth, ErrorKind::kValue, "Only 8-bit PNG images are supported"},
    {Code::kColourType, ErrorKind::kValue, "Only RGB/RGBA PNG images are supported"},
    {Code::kConfiguration, ErrorKind::kValue, "Unsupported PNG configuration (compression/filter/interlace)"},
    {Code::kZlibError, ErrorKind::kZlib, nullptr},
    {Code::kZlibNoMemory, ErrorKind::kMemory, "Out of memory while decompressing data"},
    {Code::kMalformedData, ErrorKind::kValue, "Malformed PNG image data"},
    {Code::kBadFilter, ErrorKind::kValue, "Unsupported PNG filter: "},  // followed by the type
    {Code::kNoMemory, ErrorKind::kMemory, nullptr},
    {Code::kPixelLength, ErrorKind::kValue, "Pixel data length does not match image dimensions"},
    {Code::kAlphaLength, ErrorKind::kValue, "Alpha channel length does not match image dimensions"},
    {Code::kFilterCount, ErrorKind::kValue, "PNG filter count does not match image height"},
    {Code::kIhdrMismatch, ErrorKind::kValue, "IHDR chunk does not match image dimensions or alpha channel"},
    {Code::kNegativeDimension, ErrorKind::kHostPack, nullptr},
    {Code::kChunkTooLong, ErrorKind::kHostPack, nullptr},
    {Code::kZlibCompressError, ErrorKind::kZlib, "Error %d while compressing data"},
    {Code::kBmpHeader, ErrorKind::kValue, "Unsupported BMP header"},
    {Code::kBmpDibHeader, ErrorKind::kValue, "Corrupted BMP DIB header"},
    {Code::kBmpInfoHeader, ErrorKind::kValue, "Only BITMAPINFOHEADER BMP files are supported"},
    {Code::kBmpFormat, ErrorKind::kValue, "Only uncompressed 24-bit BMP files are supported"},
    {Code::kBmpIncomplete, ErrorKind::kValue, "Incomplete BMP pixel data"},
    {Code::kBmpTooLarge, ErrorKind::kOverflow, "BMP image dimensions exceed 32-bit sizes"},
    {Code::kSignature, ErrorKind::kValue, "Unsupported PNG signature"},
    {Code::kFieldSize, ErrorKind::kHostUnpack, nullptr},
    {Code::kHostError, ErrorKind::kNone, nullptr},  // nothing to raise: the host's error is set
    {Code::kNegativeCount, ErrorKind::kValue, "negative count"},
    {Code::kBmpSizeField, ErrorKind::kHostUnpack, nullptr},
    {Code::kBmpInfoFields, ErrorKind::kHostUnpack, nullptr},
    {Code::kBmpFieldRange, ErrorKind::kHostPack, nullptr},
};
static_assert(sizeof(kCodeTable) / sizeof(kCodeTable[0]) == static_cast<size_t>(Code::kCount));

constexpr const CodeInfo& code_info(Code code) { return kCodeTable[static_cast<size_t>(code)]; }

// The table is in the order of the codes: `code_info(code).code == code` for every code.
constexpr bool table_in_order()
{
    for (size_t i = 0; i < static_cast<size_t>(Code::kCount); ++i) {
        if (static_cast<size_t>(kCodeTable[i].code) != i) return false;
    }
    return true;
}
static_assert(table_in_order());

struct Status {
    Code code = Code::kOk;
    int32_t detail = 0;             // the filter type for kBadFilter; the zlib code for kZlibError
    const char* zlib_message = nullptr;  // kZlibError: zlib's message, or null
    bool while_preparing = false;   // kZlibError: the error came from setting up the inflater

    bool ok() const { return code == Code::kOk; }
    static Status of(Code code, int32_t detail = 0) { return {code, detail, nullptr, false}; }
};

}  // namespace qv
