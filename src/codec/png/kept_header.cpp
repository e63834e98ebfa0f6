#include "codec/png/kept_header.hpp"

#include "codec/png/chunk_builder.hpp"
#include "codec/png/image_header.hpp"

namespace qv::png {

void HonouredHeader::see(ByteSpan type, ByteSpan data)
{
    if (ended_) return;
    if (is_type(type, kIend)) {
        ended_ = true;
    } else if (is_type(type, kIhdr)) {
        found_ = true;
        ihdr_ = data;
    }
}

Status HonouredHeader::check(int32_t width, int32_t height, bool has_alpha) const
{
    if (!found_ || ihdr_describes(ihdr_, width, height, has_alpha)) return {};
    return Status::of(Code::kIhdrMismatch);
}

}  // namespace qv::png
