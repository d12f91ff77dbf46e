// Test code: see test_reducer.h.
#include "test_reducer.h"

#include <algorithm>
#include <array>

#include "legacy_bit_writer.h"

namespace arcsalve::test {
namespace {

constexpr uint8_t kDle = 144;

struct Factor {
    uint32_t lengthMask;
    uint32_t distanceShift;
    uint32_t distanceMask;
};
constexpr Factor kFactors[4] = {{0x7F, 7, 1}, {0x3F, 6, 3}, {0x1F, 5, 7}, {0x0F, 4, 15}};

uint32_t IndexBits(size_t n) {
    uint32_t bits = 1;
    while ((size_t(1) << bits) < n) ++bits;
    return bits;
}

// Inner stage: bytes and copies as one byte stream.
class InnerStage {
public:
    InnerStage(const Factor& f, const ReduceOptions& o, ReduceStats& s)
        : factor_(f), options_(o), stats_(s),
          maxDistance_((f.distanceMask + 1) * 256), maxLength_(f.lengthMask + 3 + 255) {}

    std::vector<uint8_t> Run(const std::vector<uint8_t>& data) {
        std::vector<int64_t> head(1 << 16, -1);
        std::vector<int64_t> chain(data.size(), -1);
        size_t pos = 0;
        while (pos < data.size()) {
            uint32_t bestLength = 0;
            uint32_t bestDistance = 0;
            if (options_.copies) FindMatch(data, pos, head, chain, &bestLength, &bestDistance);
            if (bestLength >= 3 && !(bestLength == 3 && bestDistance <= 256)) {
                PutCopy(bestDistance, bestLength);
                if (bestDistance > pos) ++stats_.zeroReach;
                for (uint32_t i = 0; i < bestLength; ++i) Insert(data, pos + i, head, chain);
                pos += bestLength;
            } else {
                symbols_.push_back(data[pos]);
                if (data[pos] == kDle) {
                    symbols_.push_back(0);
                    ++stats_.literalDle;
                }
                Insert(data, pos, head, chain);
                ++pos;
            }
        }
        return symbols_;
    }

private:
    static uint32_t Hash(const std::vector<uint8_t>& d, size_t p) {
        return (d[p] * 506832829u ^ d[p + 1] * 2654435761u ^ d[p + 2] * 40503u) >> 16 & 0xFFFF;
    }

    void Insert(const std::vector<uint8_t>& d, size_t p, std::vector<int64_t>& head, std::vector<int64_t>& chain) {
        if (p + 2 >= d.size()) return;
        uint32_t h = Hash(d, p);
        chain[p] = head[h];
        head[h] = static_cast<int64_t>(p);
    }

    uint32_t MatchLength(const std::vector<uint8_t>& d, size_t pos, size_t distance) const {
        uint32_t n = 0;
        while (pos + n < d.size() && n < maxLength_) {
            const int64_t src = int64_t(pos + n) - int64_t(distance);
            const uint8_t b = src < 0 ? 0 : d[src];
            if (b != d[pos + n]) break;
            ++n;
        }
        return n;
    }

    void FindMatch(const std::vector<uint8_t>& d, size_t pos, const std::vector<int64_t>& head,
                   const std::vector<int64_t>& chain, uint32_t* bestLength, uint32_t* bestDistance) const {
        if (pos + 2 < d.size()) {
            int64_t cand = head[Hash(d, pos)];
            for (int depth = 0; cand >= 0 && depth < 64; ++depth, cand = chain[cand]) {
                const size_t distance = pos - static_cast<size_t>(cand);
                if (distance > maxDistance_) break;
                const uint32_t n = MatchLength(d, pos, distance);
                if (n > *bestLength) {
                    *bestLength = n;
                    *bestDistance = static_cast<uint32_t>(distance);
                }
            }
        }
        if (options_.zeroHistory && d[pos] == 0 && pos < maxDistance_) {
            for (size_t distance = pos + 1; distance <= maxDistance_ && distance <= pos + 300; ++distance) {
                const uint32_t n = MatchLength(d, pos, distance);
                if (n > *bestLength) {
                    *bestLength = n;
                    *bestDistance = static_cast<uint32_t>(distance);
                }
            }
        }
    }

    void PutCopy(uint32_t distance, uint32_t length) {
        const uint32_t high = (distance - 1) >> 8;
        const uint32_t field = length - 3;
        symbols_.push_back(kDle);
        if (field >= factor_.lengthMask) {
            symbols_.push_back(static_cast<uint8_t>(high << factor_.distanceShift | factor_.lengthMask));
            symbols_.push_back(static_cast<uint8_t>(field - factor_.lengthMask));
            ++stats_.longCopies;
        } else {
            symbols_.push_back(static_cast<uint8_t>(high << factor_.distanceShift | field));
        }
        symbols_.push_back(static_cast<uint8_t>((distance - 1) & 0xFF));
        ++stats_.copies;
        stats_.longestCopy = std::max(stats_.longestCopy, length);
    }

    const Factor& factor_;
    const ReduceOptions& options_;
    ReduceStats& stats_;
    const size_t maxDistance_;
    const uint32_t maxLength_;
    std::vector<uint8_t> symbols_;
};

using FollowerSets = std::array<std::vector<uint8_t>, 256>;

// For each byte, the most frequent followers, as many as pay for themselves.
FollowerSets ChooseSets(const std::vector<uint8_t>& symbols, const ReduceOptions& options) {
    std::vector<std::array<size_t, 256>> pairs(256);
    for (auto& row : pairs) row.fill(0);
    uint8_t last = 0;
    for (uint8_t s : symbols) {
        ++pairs[last][s];
        last = s;
    }
    FollowerSets sets;
    for (int j = 0; j < 256; ++j) {
        auto forced = options.forcedSets.find(static_cast<uint8_t>(j));
        if (forced != options.forcedSets.end()) {
            sets[j] = forced->second;
            continue;
        }
        std::vector<uint8_t> order;
        for (int b = 0; b < 256; ++b)
            if (pairs[j][b] > 0) order.push_back(static_cast<uint8_t>(b));
        std::stable_sort(order.begin(), order.end(),
                         [&](uint8_t a, uint8_t b) { return pairs[j][a] > pairs[j][b]; });
        size_t total = 0;
        for (uint8_t b : order) total += pairs[j][b];
        size_t bestCost = 8 * total;
        size_t bestK = 0;
        const size_t limit = std::min<size_t>(order.size(), static_cast<size_t>(options.maxFollowers));
        size_t covered = 0;
        for (size_t k = 1; k <= limit; ++k) {
            covered += pairs[j][order[k - 1]];
            const size_t cost = covered * (1 + IndexBits(k)) + (total - covered) * 9 + 8 * k;
            if (cost < bestCost) {
                bestCost = cost;
                bestK = k;
            }
        }
        sets[j].assign(order.begin(), order.begin() + static_cast<long>(bestK));
    }
    return sets;
}

std::vector<uint8_t> OuterStage(const std::vector<uint8_t>& symbols, const FollowerSets& sets, ReduceStats& stats) {
    LsbBitWriter out;
    for (int j = 255; j >= 0; --j) {
        out.Put(static_cast<uint32_t>(sets[j].size()), 6);
        for (uint8_t b : sets[j]) out.Put(b, 8);
    }
    uint8_t last = 0;
    for (uint8_t s : symbols) {
        const auto& set = sets[last];
        if (set.empty()) {
            out.Put(s, 8);
        } else {
            auto it = std::find(set.begin(), set.end(), s);
            if (it == set.end()) {
                out.Put(1, 1);
                out.Put(s, 8);
            } else {
                out.Put(0, 1);
                out.Put(static_cast<uint32_t>(it - set.begin()), IndexBits(set.size()));
                ++stats.indexed;
            }
        }
        last = s;
    }
    return out.Bytes();
}

}  // namespace

std::vector<uint8_t> ReduceForTest(const std::vector<uint8_t>& data, const ReduceOptions& options,
                                   ReduceStats* stats) {
    ReduceStats local;
    ReduceStats& s = stats ? *stats : local;
    s = ReduceStats();
    const Factor& factor = kFactors[options.factor - 1];
    InnerStage inner(factor, options, s);
    const std::vector<uint8_t> symbols = inner.Run(data);
    return OuterStage(symbols, ChooseSets(symbols, options), s);
}

std::vector<uint8_t> ReduceRawSymbols(const std::vector<uint8_t>& symbols) {
    FollowerSets empty;
    ReduceStats unused;
    return OuterStage(symbols, empty, unused);
}

}  // namespace arcsalve::test
