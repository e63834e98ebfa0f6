// Cutting compressed image data into IDAT pieces along the data lengths of a source file's
// IDAT chunks. Each positive length takes that many bytes, the last one everything left;
// lengths <= 0 are skipped; what no length takes forms one more piece. So the pieces are
// never empty and never more than max(count, 1).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace qv::png {

// One length at a time, so that a caller whose lengths are objects of its own looks at an
// entry only when the rule needs it: entries after the data run out are not looked at.
class IdatSplit {
public:
    IdatSplit(int64_t total, size_t count) : rest_(total > 0 ? total : 0), count_(count) {}

    // Whether the next entry is looked at: entries remain and so do bytes.
    bool wants_entry() const { return next_ < count_ && rest_ > 0; }
    // Whether the next entry is the last one, which takes everything left when positive.
    bool entry_is_last() const { return next_ + 1 == count_; }
    // Bytes not yet taken.
    int64_t rest() const { return rest_; }

    // The next entry's length; any value >= rest() takes the rest. Returns the piece size
    // (0: skipped). Only while wants_entry(). Throws nothing: a piece that finds no memory is
    // reported by finish().
    int64_t take(int64_t length);

    // The piece sizes in `out`: those taken, and the rest as one more piece if any is left.
    // False when memory ran out on the way. Call once, after the last entry wanted.
    bool finish(std::vector<int64_t>* out);

private:
    bool record(int64_t size);

    int64_t rest_;
    size_t count_;
    size_t next_ = 0;
    std::vector<int64_t> pieces_;
    bool out_of_memory_ = false;
};

// The piece sizes of `total` bytes cut along `lengths`. Throws std::bad_alloc.
std::vector<int64_t> split_sizes(std::span<const int64_t> lengths, int64_t total);

}  // namespace qv::png
