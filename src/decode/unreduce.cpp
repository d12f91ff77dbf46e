// Unreduce: the decoder of compression methods 2 to 5 ("reduced" with
// compression factor 1 to 4).
//
// Reducing works in two stages. The outer stage codes bytes with follower
// sets: for each byte value the encoder lists up to 63 bytes that often come
// next, and a byte that is in the list of its predecessor is sent as a short
// index instead of 8 bits. The inner stage is a simple LZ77: the byte 144
// (DLE) introduces either a literal 144 (DLE, 0) or a copy of earlier output
// (DLE, V [, E], T), where the factor decides how V splits into length bits
// and high distance bits. Every byte of both stages, the copy's V, E and T
// included, goes through the follower sets, each one selecting the set of the
// next.
//
// Input ends by count: every read is preceded by a test that the entry's
// compressed data still hold the bits it needs.
#include <cstring>

#include "decode/decode_frame.h"
#include "decode/decoders.h"
#include "decode/bit_reader.h"

namespace arcsalve {
namespace {

// The escape byte of the inner stage.
constexpr uint8_t kDle = 144;
// A copy is at least 3 bytes long.
constexpr uint32_t kMinCopy = 3;
// The longest follower list: its count is a 6-bit field.
constexpr uint32_t kMaxFollowers = 63;

// How V = (high distance bits, length bits) is split for each factor.
struct ReduceFactor {
    uint8_t lengthMask;     // length bits of V; all ones: one more length byte follows
    uint8_t distanceShift;  // position of the high distance bits in V
    uint8_t distanceMask;   // high distance bits, in units of 256 bytes
};
constexpr ReduceFactor kFactors[4] = {
    {0x7F, 7, 0x01},  // factor 1: copies up to 385 bytes, 512 bytes back
    {0x3F, 6, 0x03},  // factor 2: 321 bytes, 1024 back
    {0x1F, 5, 0x07},  // factor 3: 289 bytes, 2048 back
    {0x0F, 4, 0x0F},  // factor 4: 273 bytes, 4096 back
};

// Output is gathered in a 32768-byte buffer and written 9000 bytes at a
// time once more than 18000 are pending, so at least 9000 bytes of history
// always stay behind the write point: more than the farthest distance, 4096.
constexpr uint32_t kOutputBuffer = 32768;
constexpr uint32_t kWriteBlock = 9000;
constexpr uint32_t kWriteThreshold = 2 * kWriteBlock;
constexpr uint32_t kLongestCopy = kFactors[0].lengthMask + kMinCopy + 255;
static_assert(kWriteThreshold + 1 + kLongestCopy <= kOutputBuffer, "a copy never passes the buffer");
static_assert(kWriteBlock > (uint32_t(kFactors[3].distanceMask) << 8) + 256, "history covers every distance");

// The follower sets of one entry. The lists are cleared, and each holds 64
// slots: an index read from damaged data may point past the set's count (a
// set of 5 takes a 3-bit index, 0 to 7) and then selects the byte 0.
struct FollowerSets {
    uint8_t count[256];
    uint8_t list[256][kMaxFollowers + 1];
};

// Bits of an index into a set of n followers (1 to 63); a set of one still
// takes one bit.
uint32_t FollowerIndexBits(uint32_t n) {
    uint32_t bits = 1;
    while ((1u << bits) < n) ++bits;
    return bits;
}

// The input of one entry. Every read is preceded by the test that the
// entry's compressed data still hold the bits it takes, so the byte source is
// never asked for more than those bytes; the bits not yet read are then 8
// times the compressed size less those read so far (64 bits: 8 times a size
// near 2^31 does not fit in 32; a negative size leaves none).
struct ReduceInput {
    BitReader bits;
    int64_t bitsLeft;
};

// 1 when at least n more bits can be read.
inline int ReduceBitsLeft(const ReduceInput& in, uint32_t n) { return in.bitsLeft >= int64_t(n) ? 1 : 0; }

// The next n bits (n <= 8), or false when the entry's data cannot supply them
// (by count, or because the archive itself ended).
inline bool ReduceReadBits(ReduceInput& in, uint32_t n, uint8_t* value) {
    if (!ReduceBitsLeft(in, n)) return false;
    in.bitsLeft -= n;
    *value = static_cast<uint8_t>(in.bits.Take(n));
    return !in.bits.UsedMissingInput();
}

// One byte of the outer stage, coded against the follower set of `last`:
// a set that is empty means 8 literal bits; otherwise a flag bit chooses
// between 8 literal bits (1) and an index into the set (0).
bool ReadReducedSymbol(const FollowerSets& sets, ReduceInput& bits, uint8_t last, uint8_t* out) {
    const uint32_t n = sets.count[last];
    if (n == 0) return ReduceReadBits(bits, 8, out);
    uint8_t literal = 0;
    if (!ReduceReadBits(bits, 1, &literal)) return false;
    if (literal) return ReduceReadBits(bits, 8, out);
    uint8_t index = 0;
    if (!ReduceReadBits(bits, FollowerIndexBits(n), &index)) return false;
    *out = sets.list[last][index];
    return true;
}

// The sets are sent from byte value 255 down to 0: a 6-bit count, then that
// many 8-bit followers.
bool ReadFollowerSets(FollowerSets& sets, ReduceInput& bits) {
    for (int j = 255; j >= 0; --j) {
        uint8_t n = 0;
        if (!ReduceReadBits(bits, 6, &n)) return false;
        sets.count[j] = n;
        for (uint32_t i = 0; i < n; ++i) {
            if (!ReduceReadBits(bits, 8, &sets.list[j][i])) return false;
        }
    }
    return true;
}

// Pending output: buffer[0, pending) is not yet written; buffer byte 0 goes
// to file offset `written`.
struct ReduceOutput {
    DecodeState* state;
    uint8_t* buffer;
    uint32_t pending;
    uint64_t written;
};

// Written, or with no output file only checked (WriteDecoded decides).
void WriteOut(ReduceOutput& out, uint32_t count) { WriteDecoded(out.state, out.buffer, out.written, count); }

// Writes the first 9000 pending bytes and moves the rest to the front.
void WriteBlock(ReduceOutput& out) {
    WriteOut(out, kWriteBlock);
    out.written += kWriteBlock;
    out.pending -= kWriteBlock;
    std::memmove(out.buffer, out.buffer + kWriteBlock, out.pending);
}

// Appends a copy of `length` bytes from `distance` back. Before the entry's
// first byte the history counts as zeros (only possible before the first
// block is written, as 9000 bytes of history stay behind afterwards);
// overlapping copies repeat recent bytes, one byte at a time.
void CopyMatch(ReduceOutput& out, uint32_t distance, uint32_t length) {
    uint8_t* const buffer = out.buffer;
    const uint32_t start = out.pending;
    uint32_t i = 0;
    if (distance > start) {
        i = distance - start < length ? distance - start : length;
        std::memset(buffer + start, 0, i);
    }
    // From here on start + i >= distance.
    for (; i < length; ++i) buffer[start + i] = buffer[start + i - distance];
    out.pending += length;
}

// The decode loop of the inner stage; false when the input ran out before
// `bound` bytes were produced.
bool ExpandReduced(const FollowerSets& sets, ReduceInput& bits, const ReduceFactor& factor,
                   ReduceOutput& out, int64_t bound) {
    uint8_t last = 0;
    int64_t produced = 0;
    while (produced < bound) {
        if (out.pending > kWriteThreshold) WriteBlock(out);
        uint8_t s = 0;
        if (!ReadReducedSymbol(sets, bits, last, &s)) return false;
        last = s;
        if (s != kDle) {
            out.buffer[out.pending++] = s;
            ++produced;
            continue;
        }
        uint8_t v = 0;
        if (!ReadReducedSymbol(sets, bits, last, &v)) return false;
        last = v;
        if (v == 0) {
            out.buffer[out.pending++] = kDle;
            ++produced;
            continue;
        }
        uint32_t length = (v & factor.lengthMask) + kMinCopy;
        const uint32_t high = (v >> factor.distanceShift) & factor.distanceMask;
        if ((v & factor.lengthMask) == factor.lengthMask) {
            uint8_t e = 0;
            if (!ReadReducedSymbol(sets, bits, last, &e)) return false;
            last = e;
            length += e;
        }
        uint8_t t = 0;
        if (!ReadReducedSymbol(sets, bits, last, &t)) return false;
        last = t;
        const uint32_t distance = high * 256 + t + 1;
        // A copy that would pass the recorded size is cut there.
        if (produced + length > bound) length = static_cast<uint32_t>(bound - produced);
        produced += length;
        CopyMatch(out, distance, length);
    }
    return true;
}

}  // namespace

int Unreduce(DecodeState* state, int factor) {
    if (factor < 1 || factor > 4) return 0;
    auto sets = AllocBlockOf<FollowerSets>(sizeof(FollowerSets));
    auto buffer = AllocBlockOf<uint8_t>(kOutputBuffer);
    if (!sets || !buffer) return 0;
    std::memset(sets.get(), 0, sizeof(FollowerSets));

    ReduceInput bits{StartBits(state), 8 * int64_t(state->compressedSize)};
    if (!ReadFollowerSets(*sets, bits)) return 0;

    ReduceOutput out{state, buffer.get(), 0, 0};
    // The recorded size, unsigned, is the bound.
    const int64_t bound = state->uncompressedSize;
    const bool complete = ExpandReduced(*sets, bits, kFactors[factor - 1], out, bound);
    // Bytes decoded before the input ran out are kept: they are the part of
    // the entry that survived.
    if (out.pending > 0) WriteOut(out, out.pending);
    return complete ? 1 : 0;
}

}  // namespace arcsalve
