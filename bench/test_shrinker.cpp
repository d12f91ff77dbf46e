// Test code: see test_shrinker.h.
#include "test_shrinker.h"

#include <memory>
#include <unordered_map>

#include "legacy_bit_writer.h"

namespace arcsalve::test {
namespace {

constexpr uint32_t kControl = 256;
constexpr uint32_t kFirstCode = 257;
constexpr uint32_t kLimit = 8192;
constexpr uint32_t kNoPrefix = 0xFFFFFFFF;

class Shrinker {
public:
    explicit Shrinker(ShrinkStats& stats) : stats_(stats) {
        for (uint32_t x = 0; x < kLimit; ++x) prefix_[x] = x < 256 ? 0 : kNoPrefix;
    }

    void Encode(const std::vector<uint8_t>& data, const ShrinkOptions& options) {
        size_t clearIndex = 0;
        size_t controlIndex = 0;
        bool clearWanted = false;
        bool havePrev = false;
        uint32_t prev = 0;
        size_t pos = 0;
        while (pos < data.size()) {
            while (controlIndex < options.ignoredControlBefore.size() &&
                   options.ignoredControlBefore[controlIndex] <= pos) {
                Control(3);
                ++controlIndex;
            }
            if (clearIndex < options.clearBefore.size() && options.clearBefore[clearIndex] <= pos) {
                clearWanted = true;
                ++clearIndex;
            }
            if (options.clearWhenFull && nextFree_ >= kLimit) clearWanted = true;
            // A clear waits until the previous code is a single byte: a
            // freed previous code would be the prefix of the entry that the
            // next code makes, possibly at its own (reused) number. It also
            // waits until the codes in use are exactly 257 up to the next
            // free code, the range a decoder's clear looks at.
            if (clearWanted && (!havePrev || prev < 256) && InUseIsContiguous()) {
                Control(2);
                PartialClear();
                ++stats_.clears;
                clearWanted = false;
            }

            // Longest string in the dictionary, the entry that the decoder
            // will make after this code (previous string + this first byte)
            // included.
            const bool pendingEntry = havePrev && nextFree_ < kLimit;
            // The code that makes the decoder's dictionary full is a single
            // byte, so the clear can follow it at once: Info-ZIP unzip, like
            // PKZIP, never has a code sent while all 8192 are in use.
            const bool fillsDictionary = options.clearWhenFull && pendingEntry && nextFree_ == kLimit - 1;
            uint32_t node = data[pos];
            size_t length = 1;
            while (!fillsDictionary && pos + length < data.size()) {
                const uint8_t b = data[pos + length];
                auto it = child_.find(Key(node, b));
                if (it != child_.end()) {
                    node = it->second;
                    ++length;
                    continue;
                }
                if (pendingEntry && node == prev && b == data[pos]) {
                    node = nextFree_;
                    ++length;
                    ++stats_.undefinedCodes;
                }
                break;
            }
            Emit(node);
            if (havePrev) AddEntry(prev, data[pos]);
            prev = node;
            havePrev = true;
            pos += length;
        }
    }

    std::vector<uint8_t> Bytes() const { return out_.Bytes(); }

private:
    static uint32_t Key(uint32_t code, uint8_t b) { return code << 8 | b; }

    void Emit(uint32_t code) {
        while (code >= (1u << codeSize_)) {
            Control(1);
            ++codeSize_;
            ++stats_.raises;
            if (codeSize_ > stats_.maxCodeSize) stats_.maxCodeSize = codeSize_;
        }
        out_.Put(code, codeSize_);
    }

    void Control(uint32_t subCode) {
        out_.Put(kControl, codeSize_);
        out_.Put(subCode, codeSize_);
    }

    void AddEntry(uint32_t p, uint8_t c) {
        if (nextFree_ >= kLimit) return;
        prefix_[nextFree_] = p;
        suffix_[nextFree_] = c;
        child_[Key(p, c)] = static_cast<uint16_t>(nextFree_);
        do {
            ++nextFree_;
        } while (nextFree_ < kLimit && prefix_[nextFree_] != kNoPrefix);
        if (nextFree_ >= kLimit) stats_.dictionaryFilled = true;
    }

    bool InUseIsContiguous() const {
        for (uint32_t x = nextFree_; x < kLimit; ++x)
            if (prefix_[x] != kNoPrefix) return false;
        return true;
    }

    // Frees every code that no other code extends, as the decoder does.
    void PartialClear() {
        std::vector<bool> isPrefix(kLimit, false);
        for (uint32_t x = kFirstCode; x < nextFree_; ++x)
            if (prefix_[x] >= kFirstCode) isPrefix[prefix_[x]] = true;
        for (uint32_t x = kFirstCode; x < nextFree_; ++x)
            if (!isPrefix[x]) prefix_[x] = kNoPrefix;
        nextFree_ = kFirstCode;
        while (nextFree_ < kLimit && prefix_[nextFree_] != kNoPrefix) ++nextFree_;
        child_.clear();
        for (uint32_t x = kFirstCode; x < kLimit; ++x)
            if (prefix_[x] != kNoPrefix) child_[Key(prefix_[x], suffix_[x])] = static_cast<uint16_t>(x);
    }

    ShrinkStats& stats_;
    LsbBitWriter out_;
    int codeSize_ = 9;
    uint32_t nextFree_ = kFirstCode;
    uint32_t prefix_[kLimit];
    uint8_t suffix_[kLimit] = {};
    std::unordered_map<uint32_t, uint16_t> child_;
};

}  // namespace

std::vector<uint8_t> ShrinkForTest(const std::vector<uint8_t>& data, const ShrinkOptions& options,
                                   ShrinkStats* stats) {
    ShrinkStats local;
    ShrinkStats& s = stats ? *stats : local;
    s = ShrinkStats();
    auto shrinker = std::make_unique<Shrinker>(s);
    shrinker->Encode(data, options);
    return shrinker->Bytes();
}

}  // namespace arcsalve::test
