#include "codec/png/idat_split.hpp"

#include <new>

namespace qv::png {

bool IdatSplit::record(int64_t size)
{
    try {
        pieces_.push_back(size);
        return true;
    } catch (const std::bad_alloc&) {
        out_of_memory_ = true;
        return false;
    }
}

int64_t IdatSplit::take(int64_t length)
{
    const bool last = entry_is_last();
    ++next_;
    if (length <= 0) return 0;
    const int64_t size = last || length >= rest_ ? rest_ : length;
    if (!record(size)) return 0;
    rest_ -= size;
    return size;
}

bool IdatSplit::finish(std::vector<int64_t>* out)
{
    if (rest_ > 0 && record(rest_)) rest_ = 0;
    if (out_of_memory_) return false;
    *out = std::move(pieces_);
    return true;
}

std::vector<int64_t> split_sizes(std::span<const int64_t> lengths, int64_t total)
{
    IdatSplit split(total, lengths.size());
    for (size_t i = 0; split.wants_entry(); ++i) split.take(lengths[i]);
    std::vector<int64_t> pieces;
    if (!split.finish(&pieces)) throw std::bad_alloc();
    return pieces;
}

}  // namespace qv::png
