// The front half of the deflate compressor: greedy matching over hash chains.
//
// Every position is entered into a chain of earlier positions whose next
// three bytes hash alike. At each position the chain's nearest kChainLimit
// candidates (those within the distance limit) are the ones that count: the
// longest match among them wins, the nearest of equally long ones. A match of
// 3 or more bytes is taken at once, with no look at the next position, and
// coding resumes after it. The items (literals and matches) are kept per
// block with their symbol frequencies until the block writer turns them into
// bits.
//
// The search finds that winner without stepping through every candidate
// (see LongestMatch); the result is the same as a walk over all of them.
#include <cstring>

#include "recompress/deflate.h"

namespace arcsalve {
namespace {

inline uint32_t UpdateHash(uint32_t hash, uint8_t byte) {
    return ((hash & ((kHashSize - 1) >> kHashShift)) << kHashShift) ^ byte;
}

inline uint32_t Load32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Hash of the four bytes at p (multiplicative, the top bits kept).
inline uint32_t QuadHash(const uint8_t* p) { return (Load32(p) * 0x9E3779B1u) >> (32 - kQuadHashBits); }

// Enters position p into its chains: the hash moves on to the three bytes at
// p, and p becomes the chain's head, numbered one above the old head (the
// count of the hash's entries); p also
// heads the chain of its four bytes. Returns the old head of the three-byte
// chain, the nearest earlier position with the same hash (0 for none).
inline uint32_t InsertPosition(DeflateState* s, uint32_t p) {
    s->hash = UpdateHash(s->hash, s->window[p + 2]);
    const uint32_t slot = p & kChainMask;
    uint32_t head = s->hashHeads[s->hash];
    s->chainLinks[slot] = static_cast<uint16_t>(head);
    s->chainRanks[slot] = ++s->hashCounts[s->hash];
    s->hashHeads[s->hash] = static_cast<uint16_t>(p);
    uint32_t quad = QuadHash(s->window + p);
    s->quadLinks[slot] = s->quadHeads[quad];
    s->quadHeads[quad] = static_cast<uint16_t>(p);
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

// Number of equal leading bytes of the strings at a and b among their first
// eight.
inline uint32_t WordMatchLength(const uint8_t* a, const uint8_t* b) {
    uint64_t x = Load64(a) ^ Load64(b);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    return x != 0 ? static_cast<uint32_t>(__builtin_ctzll(x)) >> 3 : 8;
#else
    if (x == 0) return 8;
    uint32_t i = 0;
    while (a[i] == b[i]) ++i;
    return i;
#endif
}

// The offsets into a match that the search may switch chains at: 0..this.
constexpr uint32_t kMaxChainOffset = 16;

// The chain search. The candidates that count are the three-byte chain's
// members from its head (which may lie exactly kMaxDistance back) down to the
// kChainLimit-th, each later one more than kMaxDistance back excluded; the
// result is their longest match (at most kMaxMatch), the nearest one among
// equally long ones. Comparisons may run past the valid input into the
// window's spare or stale bytes (the caller cuts the length to the
// lookahead), so lengths are those of the window's bytes.
//
// The search does not walk the three-byte chain. A candidate that beats a
// best length of 3 or more agrees with the current string in its first four
// bytes, so it lies in the four-byte chain; more than that, once the best
// length is b, it agrees in the four bytes at every offset j <= b - 3, so its
// position plus j lies in the four-byte chain of the position j ahead. So
// when a candidate sets a new best length, the search moves to whichever of
// those chains (from the candidate's own position plus j) reaches lowest next,
// skipping candidates that cannot win, and it ends as soon as one of them
// leaves the distance limit. A member of the three-byte chain (a candidate
// agreeing in three bytes) tells by its number how far down that chain it
// is, so the candidate limit is kept without counting. When no candidate has
// four bytes, the answer is the nearest one with three, if any, found by
// walking the three-byte chain as far as the limits allow.
//
// The step from one candidate to the next waits only for the next link; the
// comparison and the chain number go alongside and rarely branch.
inline uint32_t LongestMatch(DeflateState* s, uint32_t candidate) {
    const uint8_t* window = s->window;
    const uint32_t position = s->position;
    const uint8_t* scan = window + position;
    const uint32_t limit = position > kMaxDistance ? position - kMaxDistance : 0;
    const uint16_t top = s->chainRanks[position & kChainMask];
    uint32_t best = kMinMatch;
    uint16_t scanEnd = Load16(scan + best - 1);
    // Whether a link of the chain `offset` ahead points past the candidates
    // that count (0, "none", does too). The head may lie at the limit, and a
    // four-byte chain can reach it after a stranger whose hash only agrees.
    auto Beyond = [limit, candidate](uint32_t link, uint32_t offset) {
        return link <= limit + offset && link != candidate + offset;
    };
    uint32_t q = s->quadLinks[position & kChainMask];
    // The chain followed is that of the four bytes `offset` ahead: q + offset
    // is in it.
    uint32_t offset = 0;
    if (!Beyond(q, 0)) {
        for (;;) {
            const uint8_t* match = window + q;
            uint32_t next = s->quadLinks[(q + offset) & kChainMask];
            uint32_t length = WordMatchLength(scan, match);
            uint32_t rank = static_cast<uint16_t>(top - s->chainRanks[q & kChainMask]);
            // Bitwise, so that the usual candidate (within the limit, no
            // better) costs one well-predicted branch. Past the best length
            // the first eight bytes say enough unless the bytes at the best
            // length agree.
            uint32_t over = (length >= kMinMatch) & (rank > s->chainLimit);
            uint32_t better = (length > best) | ((length == 8) & (Load16(match + best - 1) == scanEnd));
            if (over | better) {
                if (over) break;
                if (length == 8) length = MatchLength(scan, match);
                if (length > best) {
                    s->matchStart = q;
                    best = length;
                    if (length >= kMaxMatch) return best;
                    scanEnd = Load16(scan + best - 1);
                    if (Beyond(next, offset)) break;
                    // Offsets below the distance are entered already.
                    uint32_t last = length - 4;
                    if (last > position - q - 1) last = position - q - 1;
                    if (last > kMaxChainOffset) last = kMaxChainOffset;
                    uint32_t lowest = next - offset;
                    bool done = false;
                    for (uint32_t j = 0; j <= last; ++j) {
                        uint32_t link = s->quadLinks[(q + j) & kChainMask];
                        if (Beyond(link, j)) {
                            done = true;
                            break;
                        }
                        if (link - j < lowest) {
                            lowest = link - j;
                            offset = j;
                        }
                    }
                    if (done) break;
                    next = lowest + offset;
                }
            }
            if (Beyond(next, offset)) break;
            q = next - offset;
        }
        if (best > kMinMatch) return best;
    }
    // No candidate agrees in four bytes: the nearest that agrees in three
    // wins.
    uint32_t budget = s->chainLimit;
    q = candidate;
    do {
        const uint8_t* match = window + q;
        if (((Load16(match) ^ Load16(scan)) | (match[2] ^ scan[2])) == 0) {
            s->matchStart = q;
            return kMinMatch;
        }
        q = s->chainLinks[q & kChainMask];
    } while (q > limit && --budget != 0);
    return kMinMatch - 1;
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
    std::memset(s->quadHeads, 0, sizeof s->quadHeads);
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
// 32 KiB of input. The chain numbers stay: a position keeps its slot.
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
        for (uint16_t& head : s->quadHeads)
            head = static_cast<uint16_t>(head >= kHalfWindow ? head - kHalfWindow : 0);
        for (uint16_t& link : s->quadLinks)
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
