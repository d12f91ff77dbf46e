// The front half of the deflate compressor: greedy matching over hash chains.
//
// Every position is entered into a chain of earlier positions whose next
// three bytes hash alike. At each position the chain is searched (nearest
// first, at most kChainLimit candidates) for the longest earlier string that
// equals the one ahead; a match of 3 or more bytes is taken at once, with no
// look at the next position, and coding resumes after it. The items
// (literals and matches) are kept per block with their symbol frequencies
// until the block writer turns them into bits.
#include <cstring>

#include "recompress/deflate.h"

namespace arcsalve {
namespace {

inline uint32_t UpdateHash(uint32_t hash, uint8_t byte) {
    return ((hash & ((kHashSize - 1) >> kHashShift)) << kHashShift) ^ byte;
}

// Enters position p into its chain: the hash moves on to the three bytes at
// p, and p becomes the chain's head. Returns the old head, the nearest
// earlier position with the same hash (0 for none).
inline uint32_t InsertPosition(DeflateState* s, uint32_t p) {
    s->hash = UpdateHash(s->hash, s->window[p + 2]);
    uint32_t head = s->hashHeads[s->hash];
    s->chainLinks[p & kChainMask] = static_cast<uint16_t>(head);
    s->hashHeads[s->hash] = static_cast<uint16_t>(p);
    return head;
}

inline uint64_t Load64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline uint16_t Load16(const uint8_t* p) {
    uint16_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Number of equal leading bytes of the strings at a and b, at most kMaxMatch,
// compared eight bytes at a time.
inline uint32_t MatchLength(const uint8_t* a, const uint8_t* b) {
    static_assert(kMaxMatch == 256 + 2, "the word loop covers 256 bytes, two remain");
    for (uint32_t i = 0; i < 256; i += 8) {
        uint64_t x = Load64(a + i) ^ Load64(b + i);
        if (x != 0) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
            return i + (static_cast<uint32_t>(__builtin_ctzll(x)) >> 3);
#else
            while (a[i] == b[i]) ++i;
            return i;
#endif
        }
    }
    if (a[256] != b[256]) return 256;
    return a[257] != b[257] ? 257 : 258;
}

// The chain search. Ties keep the nearer candidate: a later one must be
// strictly longer. A candidate can only beat the best length found so far if
// it equals the current string in its first byte and in the bytes at the
// best length and one before; those are tested first, as most candidates
// differ there. Comparisons may run past the valid input into the window's
// spare or stale bytes; the caller cuts the length to the lookahead.
inline uint32_t LongestMatch(DeflateState* s, uint32_t candidate) {
    const uint8_t* window = s->window;
    const uint8_t* scan = window + s->position;
    uint32_t budget = s->chainLimit;
    uint32_t best = kMinMatch - 1;
    uint32_t limit = s->position > kMaxDistance ? s->position - kMaxDistance : 0;
    uint16_t scanEnd = Load16(scan + best - 1);
    uint8_t scanFirst = scan[0];
    uint32_t q = candidate;
    do {
        const uint8_t* match = window + q;
        if (Load16(match + best - 1) == scanEnd && match[0] == scanFirst) {
            uint32_t length = MatchLength(scan, match);
            if (length > best) {
                s->matchStart = q;
                best = length;
                if (length >= kMaxMatch) break;
                scanEnd = Load16(scan + best - 1);
            }
        }
        q = s->chainLinks[q & kChainMask];
    } while (q > limit && --budget != 0);
    return best;
}

// The block's input when it is still in the window, else null.
inline const uint8_t* BlockBytes(const DeflateState* s) {
    return s->blockStart >= 0 ? s->window + s->blockStart : nullptr;
}

inline uint32_t BlockLength(const DeflateState* s) {
    return static_cast<uint32_t>(static_cast<int64_t>(s->position) - s->blockStart);
}

}  // namespace

void InitMatcher(DeflateState* s) {
    std::memset(s->hashHeads, 0, sizeof s->hashHeads);
    s->chainLimit = kChainLimit;
    s->position = 0;
    s->blockStart = 0;
    s->lookahead = ReadSourceBytes(s->stream, s->window, kWindowSize);
    if (s->lookahead == 0) {
        s->endOfInput = 1;
        return;
    }
    s->endOfInput = 0;
    while (s->lookahead < kMinLookahead && !s->endOfInput) RefillWindow(s);
    s->hash = 0;
    s->hash = UpdateHash(s->hash, s->window[0]);
    s->hash = UpdateHash(s->hash, s->window[1]);
}

// The window is filled to its last byte before it slides; then the upper
// half moves down and every stored position moves with it, positions that
// fall off the lower end becoming "none". So the window slides once per
// 32 KiB of input.
void RefillWindow(DeflateState* s) {
    uint32_t space = kWindowSize - s->lookahead - s->position;
    if (space < 2) {
        std::memcpy(s->window, s->window + kHalfWindow, kHalfWindow);
        s->matchStart -= kHalfWindow;
        s->blockStart -= static_cast<int32_t>(kHalfWindow);
        s->position -= kHalfWindow;
        for (uint16_t& head : s->hashHeads)
            head = static_cast<uint16_t>(head >= kHalfWindow ? head - kHalfWindow : 0);
        for (uint16_t& link : s->chainLinks)
            link = static_cast<uint16_t>(link >= kHalfWindow ? link - kHalfWindow : 0);
        space += kHalfWindow;
    }
    uint32_t n = ReadSourceBytes(s->stream, s->window + s->position + s->lookahead, space);
    if (n == 0)
        s->endOfInput = 1;
    else
        s->lookahead += n;
}

void CompressGreedy(DeflateState* s) {
    while (s->lookahead != 0) {
        if (RunStopped(s->stream->status)) return;
        uint32_t p = s->position;
        uint32_t candidate = InsertPosition(s, p);
        // Window index 0 doubles as "no position", so it is never a source.
        uint32_t length = 0;
        if (candidate != 0 && p - candidate <= kMaxDistance) {
            length = LongestMatch(s, candidate);
            if (length > s->lookahead) length = s->lookahead;
        }
        bool endBlock;
        if (length >= kMinMatch) {
            endBlock = RecordItem(s, p - s->matchStart, length - kMinMatch);
            s->lookahead -= length;
            for (uint32_t i = 1; i < length; ++i) InsertPosition(s, p + i);
            s->position = p + length;
        } else {
            endBlock = RecordItem(s, 0, s->window[p]);
            s->lookahead -= 1;
            s->position = p + 1;
        }
        if (endBlock) {
            EmitBlock(s, BlockBytes(s), BlockLength(s), 0);
            s->blockStart = static_cast<int32_t>(s->position);
        }
        while (s->lookahead < kMinLookahead && !s->endOfInput) RefillWindow(s);
    }
    EmitBlock(s, BlockBytes(s), BlockLength(s), 1);
}

}  // namespace arcsalve
