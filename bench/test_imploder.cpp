// Test code: see test_imploder.h.
#include "test_imploder.h"

#include <algorithm>
#include <numeric>

#include "legacy_bit_writer.h"

namespace arcsalve::test {
namespace {

constexpr uint32_t kMaxCodeLength = 16;

// Code lengths limited to 16 bits by package-merge: each of the 2n - 2
// cheapest items of the last level adds one bit to every symbol it holds.
std::vector<uint8_t> LimitedLengths(const std::vector<uint64_t>& weights) {
    const size_t n = weights.size();
    struct Item {
        uint64_t weight;
        std::vector<uint8_t> count;  // occurrences of each symbol in the item
    };
    std::vector<Item> leaves;
    for (size_t i = 0; i < n; ++i) {
        Item leaf{weights[i], std::vector<uint8_t>(n, 0)};
        leaf.count[i] = 1;
        leaves.push_back(std::move(leaf));
    }
    std::stable_sort(leaves.begin(), leaves.end(), [](const Item& a, const Item& b) { return a.weight < b.weight; });
    std::vector<Item> list = leaves;
    for (uint32_t level = 1; level < kMaxCodeLength; ++level) {
        std::vector<Item> packages;
        for (size_t i = 0; i + 1 < list.size(); i += 2) {
            Item p{list[i].weight + list[i + 1].weight, list[i].count};
            for (size_t s = 0; s < n; ++s) p.count[s] = static_cast<uint8_t>(p.count[s] + list[i + 1].count[s]);
            packages.push_back(std::move(p));
        }
        std::vector<Item> merged;
        std::merge(leaves.begin(), leaves.end(), packages.begin(), packages.end(), std::back_inserter(merged),
                   [](const Item& a, const Item& b) { return a.weight < b.weight; });
        list = std::move(merged);
    }
    std::vector<uint8_t> lengths(n, 0);
    for (size_t i = 0; i < 2 * n - 2; ++i)
        for (size_t s = 0; s < n; ++s) lengths[s] = static_cast<uint8_t>(lengths[s] + list[i].count[s]);
    return lengths;
}

// A tree: lengths and the canonical code of each symbol (MSB first).
struct Tree {
    std::vector<uint8_t> lengths;
    std::vector<uint32_t> codes;
};

Tree MakeTree(const std::vector<uint64_t>& counts) {
    std::vector<uint64_t> weights(counts);
    for (auto& w : weights) w += 1;  // every symbol gets a code
    Tree t;
    t.lengths = LimitedLengths(weights);
    t.codes.assign(counts.size(), 0);
    uint32_t code = 0;
    for (uint32_t length = 1; length <= kMaxCodeLength; ++length) {
        for (size_t s = 0; s < counts.size(); ++s) {
            if (t.lengths[s] != length) continue;
            t.codes[s] = code++;
        }
        code <<= 1;
    }
    return t;
}

// The format's code of a symbol is the complement of the canonical one.
void PutCode(LsbBitWriter& out, const Tree& t, uint32_t symbol) {
    const uint32_t length = t.lengths[symbol];
    for (uint32_t i = length; i-- > 0;) out.Put(((t.codes[symbol] >> i) & 1) ^ 1, 1);
}

struct Token {
    uint32_t distance;  // 0: a literal
    uint32_t value;     // the literal byte, or the copy length
};

class Matcher {
public:
    Matcher(const Bytes& d, const ImplodeOptions& o)
        : data_(d), options_(o), minLength_(o.literalTree ? 3 : 2), maxLength_(minLength_ + 63 + 255),
          maxDistance_(o.largeDictionary ? 8192 : 4096), head_(1 << 16, -1), chain_(d.size(), -1) {}

    std::vector<Token> Run(ImplodeStats& stats) {
        std::vector<Token> tokens;
        size_t pos = 0;
        while (pos < data_.size()) {
            uint32_t length = 0;
            uint32_t distance = 0;
            if (options_.copies) Find(pos, &length, &distance);
            if (length >= minLength_) {
                tokens.push_back({distance, length});
                ++stats.copies;
                if (length - minLength_ >= 63) ++stats.longCopies;
                if (distance == 1) ++stats.distanceOne;
                if (distance > pos) ++stats.zeroReach;
                stats.longestCopy = std::max(stats.longestCopy, length);
                for (uint32_t i = 0; i < length; ++i) Insert(pos + i);
                pos += length;
            } else {
                tokens.push_back({0, data_[pos]});
                Insert(pos++);
            }
        }
        return tokens;
    }

private:
    void Insert(size_t p) {
        if (p + 1 >= data_.size()) return;
        const uint32_t key = data_[p] | data_[p + 1] << 8;
        chain_[p] = head_[key];
        head_[key] = static_cast<int64_t>(p);
    }

    uint32_t Length(size_t pos, size_t distance) const {
        uint32_t n = 0;
        while (pos + n < data_.size() && n < maxLength_) {
            const int64_t src = static_cast<int64_t>(pos + n) - static_cast<int64_t>(distance);
            if ((src < 0 ? 0 : data_[static_cast<size_t>(src)]) != data_[pos + n]) break;
            ++n;
        }
        return n;
    }

    void Consider(size_t pos, size_t distance, uint32_t* length, uint32_t* best) const {
        const uint32_t n = Length(pos, distance);
        if (n > *length) {
            *length = n;
            *best = static_cast<uint32_t>(distance);
        }
    }

    void Find(size_t pos, uint32_t* length, uint32_t* distance) const {
        if (pos + 1 < data_.size()) {
            int64_t cand = head_[data_[pos] | data_[pos + 1] << 8];
            for (int depth = 0; cand >= 0 && depth < 128; ++depth, cand = chain_[static_cast<size_t>(cand)]) {
                const size_t d = pos - static_cast<size_t>(cand);
                if (d > maxDistance_) break;
                Consider(pos, d, length, distance);
            }
        }
        if (options_.zeroHistory && data_[pos] == 0 && pos < maxDistance_) {
            for (size_t d = pos + 1; d <= maxDistance_ && d <= pos + 300; ++d) Consider(pos, d, length, distance);
        }
    }

    const Bytes& data_;
    const ImplodeOptions& options_;
    const uint32_t minLength_;
    const uint32_t maxLength_;
    const size_t maxDistance_;
    std::vector<int64_t> head_;
    std::vector<int64_t> chain_;
};

}  // namespace

Bytes PackCodeLengths(const std::vector<uint8_t>& lengths) {
    Bytes out(1);  // the count, filled in below
    for (size_t i = 0; i < lengths.size();) {
        size_t run = 1;
        while (run < 16 && i + run < lengths.size() && lengths[i + run] == lengths[i]) ++run;
        out.push_back(static_cast<uint8_t>((run - 1) << 4 | (lengths[i] - 1)));
        i += run;
    }
    out[0] = static_cast<uint8_t>(out.size() - 2);
    return out;
}

Imploded ImplodeForTest(const Bytes& data, const ImplodeOptions& options, ImplodeStats* stats) {
    ImplodeStats local;
    ImplodeStats& s = stats ? *stats : local;
    s = ImplodeStats();
    const uint32_t minLength = options.literalTree ? 3 : 2;
    const uint32_t lowBits = options.largeDictionary ? 7 : 6;

    Matcher matcher(data, options);
    const std::vector<Token> tokens = matcher.Run(s);
    std::vector<uint64_t> literalCounts(256, 0), lengthCounts(64, 0), distanceCounts(64, 0);
    for (const Token& t : tokens) {
        if (t.distance == 0) {
            ++literalCounts[t.value];
        } else {
            ++lengthCounts[std::min<uint32_t>(t.value - minLength, 63)];
            ++distanceCounts[(t.distance - 1) >> lowBits];
        }
    }
    const Tree literals = MakeTree(literalCounts);
    const Tree lengths = MakeTree(lengthCounts);
    const Tree distances = MakeTree(distanceCounts);
    for (const Tree* t : {&literals, &lengths, &distances})
        s.longestCode = std::max<uint32_t>(s.longestCode, *std::max_element(t->lengths.begin(), t->lengths.end()));

    Imploded result;
    result.flags = static_cast<uint16_t>((options.largeDictionary ? 2 : 0) | (options.literalTree ? 4 : 0));
    auto append = [&result](const Bytes& b) { result.stream.insert(result.stream.end(), b.begin(), b.end()); };
    if (options.literalTree) append(PackCodeLengths(literals.lengths));
    append(PackCodeLengths(lengths.lengths));
    append(PackCodeLengths(distances.lengths));

    LsbBitWriter out;
    for (const Token& t : tokens) {
        if (t.distance == 0) {
            out.Put(1, 1);
            if (options.literalTree) {
                PutCode(out, literals, t.value);
            } else {
                out.Put(t.value, 8);
            }
            continue;
        }
        out.Put(0, 1);
        out.Put((t.distance - 1) & ((1u << lowBits) - 1), static_cast<int>(lowBits));
        PutCode(out, distances, (t.distance - 1) >> lowBits);
        const uint32_t code = t.value - minLength;
        if (code >= 63) {
            PutCode(out, lengths, 63);
            out.Put(code - 63, 8);
        } else {
            PutCode(out, lengths, code);
        }
    }
    append(out.Bytes());
    return result;
}

}  // namespace arcsalve::test
