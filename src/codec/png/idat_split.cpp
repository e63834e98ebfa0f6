#include "codec/png/idat_split.hpp"

namespace qv::png {

int64_t IdatSplit::take(int64_t length)
{
    const bool last = entry_is_last();
    ++next_;
    if (length <= 0) return 0;
    const int64_t size = last || length >= rest_ ? rest_ : length;
    pieces_.push_back(size);
    rest_ -= size;
    return size;
}

std::vector<int64_t> IdatSplit::finish()
{
    if (rest_ > 0) pieces_.push_back(rest_);
    rest_ = 0;
    return std::move(pieces_);
}

std::vector<int64_t> split_sizes(std::span<const int64_t> lengths, int64_t total)
{
    IdatSplit split(total, lengths.size());
    for (size_t i = 0; split.wants_entry(); ++i) split.take(lengths[i]);
    return split.finish();
}

}  // namespace qv::png
