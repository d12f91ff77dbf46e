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
inline uint32_t InsertPosition(DeflateState* s, uint32_t& hash, uint32_t p) {
    hash = UpdateHash(hash, s->window[p + 2]);
    const uint32_t slot = p & kChainMask;
    const uint32_t entry = s->hashHeads[hash] + 0x10000u;
    const uint32_t head = entry & 0xFFFFu;
    s->hashHeads[hash] = (entry & 0xFFFF0000u) | p;
    s->chainLinks[slot] = static_cast<uint16_t>(head);
    uint32_t quad = QuadHash(s->window + p);
    s->quadSlots[slot] = (entry & 0xFFFF0000u) | s->quadHeads[quad];
    s->quadHeads[quad] = static_cast<uint16_t>(p);
    return head;
}

inline uint64_t Load64(const uint8_t* p) {
    uint64_t v;
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

// The first three of the four bytes a 32-bit load took, the fourth cleared.
inline uint32_t FirstThree(uint32_t word) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    return word & 0xFFFFFF00u;
#else
    return word & 0x00FFFFFFu;
#endif
}

// The links followed down from a chain's head, at most, to enter it below
// the best candidate (see LongestMatch).
constexpr uint32_t kEntrySteps = 7;

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
// position plus j lies in the four-byte chain of the position j ahead. Two of
// those chains have a way in below the candidate that set the best length
// (every winner lies below it: the nearer ones were all seen): the string's
// own (j = 0), at that candidate, and that of the four bytes the candidate
// failed on (j = b - 3), from its head, a few links down. The search moves to
// whichever of them, or of the chain it is on, reaches lowest next, skipping
// candidates that cannot win, and it ends as soon as one of them leaves the
// distance limit. (The chains at the offsets between, entered at the
// candidate too, skip less for the cost of looking: a winner is rarest where
// the candidate failed.) A member of the three-byte chain (a candidate
// agreeing in three bytes) tells by its number how far down that chain it
// is, so the candidate limit is kept without counting. When no candidate has
// four bytes, the answer is the nearest one with three, if any, found by
// walking the three-byte chain as far as the limits allow.
//
// The step from one candidate to the next waits only for the next link. The
// usual candidate (within the limit, no better) is turned away by one
// compare of the four bytes that end one past the best length, which a
// better one must share; the chain number and the first three bytes go
// alongside, and the two tests cost one well-predicted branch.
inline uint32_t LongestMatch(DeflateState* s, uint32_t candidate) {
    const uint8_t* window = s->window;
    const uint32_t* slots = s->quadSlots;
    const uint32_t position = s->position;
    const uint8_t* scan = window + position;
    const uint32_t limit = position > kMaxDistance ? position - kMaxDistance : 0;
    // The lowest position that counts: above the limit, except that the
    // head may lie at it. Positions with four bytes in common with the head
    // are no higher than the head, so one bound serves every chain; 0
    // ("none") is below it since the head is never 0.
    const uint32_t lowest = candidate == limit ? limit : limit + 1;
    const uint32_t top = slots[position & kChainMask] >> 16;
    const uint32_t chainLimit = s->chainLimit;
    const uint32_t scanHead = Load32(scan);
    uint32_t best = kMinMatch;
    uint32_t scanEnd = scanHead;  // the four bytes ending at scan[best]
    // The chain followed is that of the four bytes `offset` ahead: `at`,
    // the candidate q plus offset, is in it, and a link below `bound`
    // leaves the candidates that count.
    uint32_t q = slots[position & kChainMask] & 0xFFFFu;
    uint32_t offset = 0;
    uint32_t bound = lowest;
    if (q >= bound) {
        uint32_t at = q;
        for (;;) {
            const uint8_t* match = window + q;
            uint32_t next = slots[at & kChainMask] & 0xFFFFu;
            uint32_t rank = (top - (slots[q & kChainMask] >> 16)) & 0xFFFFu;
            // Past the limit only a member of the three-byte chain (a
            // candidate with three bytes in common) ends the search; others
            // carry another chain's number.
            uint32_t over = (rank > chainLimit) & (FirstThree(Load32(match) ^ scanHead) == 0);
            uint32_t hit = Load32(match + best - 3) == scanEnd;
            if (over | hit) {
                if (over) break;
                uint32_t length = MatchLength(scan, match);
                if (length > best) {
                    s->matchStart = q;
                    best = length;
                    if (length >= kMaxMatch) return best;
                    scanEnd = Load32(scan + best - 3);
                    if (next < bound) break;
                    uint32_t low = next - offset;
                    const uint32_t own = slots[q & kChainMask] & 0xFFFFu;
                    if (own < lowest) break;
                    if (own < low) {
                        low = own;
                        offset = 0;
                    }
                    // The failed-on bytes' chain, when every winner's copy
                    // of them is entered.
                    const uint32_t edge = best - 3;
                    if (edge <= position - q) {
                        uint32_t entry = s->quadHeads[QuadHash(scan + edge)];
                        for (uint32_t steps = 0; entry >= q + edge && steps < kEntrySteps; ++steps)
                            entry = slots[entry & kChainMask] & 0xFFFFu;
                        if (entry < lowest + edge) break;
                        if (entry < q + edge && entry - edge < low) {
                            low = entry - edge;
                            offset = edge;
                        }
                    }
                    bound = lowest + offset;
                    next = low + offset;
                }
            }
            if (next < bound) break;
            at = next;
            q = next - offset;
        }
        if (best > kMinMatch) return best;
    }
    // No candidate agrees in four bytes: the nearest that agrees in three
    // wins.
    uint32_t budget = s->chainLimit;
    q = candidate;
    do {
        if (FirstThree(Load32(window + q) ^ scanHead) == 0) {
            s->matchStart = q;
            return kMinMatch;
        }
        q = s->chainLinks[q & kChainMask];
    } while (q > limit && --budget != 0);
    return kMinMatch - 1;
}

// A word of a position (low half) and a number (high half) after the window
// slid: the position moves down by half the window or becomes 0, "none"
// (bit 15 tells which), the number stays.
inline uint32_t SlidWord(uint32_t word) {
    return (word & 0xFFFF0000u) | (word & 0x7FFFu & (0u - ((word >> 15) & 1u)));
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
        // Written so that they run on whole vectors: a 16-bit position p
        // becomes p - 32768, or 0 when p < 32768; the counts and numbers
        // beside the positions stay.
        for (uint32_t& head : s->hashHeads) head = SlidWord(head);
        for (uint16_t& link : s->chainLinks) link = static_cast<uint16_t>(link >= kHalfWindow ? link - kHalfWindow : 0);
        for (uint16_t& head : s->quadHeads) head = static_cast<uint16_t>(head >= kHalfWindow ? head - kHalfWindow : 0);
        for (uint32_t& slot : s->quadSlots) slot = SlidWord(slot);
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
        // The rolling hash lives in a local while positions go in: the
        // tables are words too, and a store to them must not be taken for
        // a change of it.
        uint32_t hash = s->hash;
        uint32_t candidate = InsertPosition(s, hash, p);
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
            for (uint32_t i = 1; i < length; ++i) InsertPosition(s, hash, p + i);
            s->position = p + length;
        } else {
            endBlock = RecordItem(s, 0, s->window[p]);
            s->lookahead -= 1;
            s->position = p + 1;
        }
        s->hash = hash;
        if (endBlock) {
            EmitBlock(s, BlockBytes(s), BlockLength(s), 0);
            s->blockStart = static_cast<int32_t>(s->position);
        }
        while (s->lookahead < kMinLookahead && !s->endOfInput) RefillWindow(s);
    }
    EmitBlock(s, BlockBytes(s), BlockLength(s), 1);
}

}  // namespace arcsalve
