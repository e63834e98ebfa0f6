// The IDAT split: piece sizes against the documented table, the entries it looks at, and a
// plain reference over random lengths.
#include "check.hpp"
#include "reference.hpp"

#include "codec/png/idat_split.hpp"

#include <numeric>
#include <vector>

namespace {

using Sizes = std::vector<int64_t>;

std::string show(const Sizes& sizes)
{
    std::string out = "[";
    for (size_t i = 0; i < sizes.size(); ++i) out += (i ? ", " : "") + std::to_string(sizes[i]);
    return out + "]";
}

// The rule written out plainly, one entry at a time.
Sizes reference_split(const Sizes& lengths, int64_t total)
{
    Sizes parts;
    int64_t offset = 0;
    for (size_t idx = 0; idx < lengths.size() && offset < total; ++idx) {
        if (lengths[idx] <= 0) continue;
        const int64_t take = idx + 1 == lengths.size() ? total - offset : std::min(lengths[idx], total - offset);
        parts.push_back(take);
        offset += take;
    }
    if (offset < total) parts.push_back(total - offset);
    return parts;
}

TEST_CASE("IDAT split of 10 bytes follows the table")
{
    struct Case {
        Sizes lengths;
        int64_t total;
        Sizes pieces;
    };
    const Case cases[] = {
        {{}, 10, {10}},
        {{4, 4}, 10, {4, 6}},    // the last entry takes the surplus
        {{8, 8}, 10, {8, 2}},
        {{12, 3}, 10, {10}},     // the second entry gets nothing
        {{4, 0}, 10, {4, 6}},    // the zero is skipped, the remainder appended
        {{0, 4, 0, 3}, 10, {4, 6}},
        {{-5}, 10, {10}},
        {{10}, 10, {10}},
        {{3, 3, 3}, 10, {3, 3, 4}},
        {{INT64_MAX, 1}, 10, {10}},
        {{INT64_MIN, 4, 1}, 10, {4, 6}},
        {{}, 0, {}},             // empty data: no piece whatever the lengths
        {{5}, 0, {}},
        {{0, -1}, 0, {}},
        {{1, 1}, INT64_MAX, {1, INT64_MAX - 1}},
    };
    for (const Case& c : cases) {
        const qv::check::Scope scope("lengths ", show(c.lengths), " of ", c.total, " bytes");
        const Sizes pieces = qv::png::split_sizes(c.lengths, c.total);
        CHECK_EQ(show(pieces), show(c.pieces));
    }
}

TEST_CASE("IDAT split asks for no entry once the data ran out")
{
    struct Case {
        Sizes lengths;
        int64_t total;
        size_t looked_at;
    };
    const Case cases[] = {
        {{10, 7, 7}, 10, 1},
        {{4, 6, 1, 1}, 10, 2},
        {{0, 0, 20, 5}, 10, 3},
        {{1, 2}, 10, 2},
        {{3}, 0, 0},
    };
    for (const Case& c : cases) {
        const qv::check::Scope scope("lengths ", show(c.lengths), " of ", c.total, " bytes");
        qv::png::IdatSplit split(c.total, c.lengths.size());
        size_t looked_at = 0;
        while (split.wants_entry()) {
            CHECK_EQ(split.entry_is_last(), looked_at + 1 == c.lengths.size());
            split.take(c.lengths[looked_at++]);
        }
        CHECK_EQ(looked_at, c.looked_at);
        Sizes pieces;
        CHECK(split.finish(&pieces));
        CHECK_EQ(std::accumulate(pieces.begin(), pieces.end(), int64_t{0}), c.total);
    }
}

TEST_CASE("IDAT split agrees with the plain rule on random lengths")
{
    qv::ref::Random rng(41);
    for (int round = 0; round < 2000; ++round) {
        const auto total = static_cast<int64_t>(rng.below(70));
        Sizes lengths(rng.below(7));
        for (int64_t& length : lengths) length = static_cast<int64_t>(rng.below(90)) - 10;
        const qv::check::Scope scope("lengths ", show(lengths), " of ", total, " bytes");
        const Sizes pieces = qv::png::split_sizes(lengths, total);
        CHECK_EQ(show(pieces), show(reference_split(lengths, total)));
        CHECK(pieces.size() <= std::max<size_t>(lengths.size(), 1));
        for (const int64_t piece : pieces) CHECK(piece > 0);
    }
}

}  // namespace
