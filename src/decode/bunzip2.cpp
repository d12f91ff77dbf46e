// Method 12: bzip2 data, one bzip2 stream, decoded by libbz2 block by block.
//
// The stream: "BZh" and a level digit '1'-'9', then its blocks, then the
// 48-bit end magic 0x177245385090, the 32-bit combined CRC and padding to a
// byte. Each block starts with the 48-bit magic 0x314159265359 and the
// 32-bit CRC of its own output; blocks are bit-aligned and carry no length,
// so a block ends where the next magic starts. The combined CRC folds the
// block CRCs in order: combined = (combined << 1 | combined >> 31) ^ crc.
//
// libbz2 hands a block's output out before it has checked that block's
// CRC, so a whole damaged stream given to it puts the damaged block's
// garbage behind the good data. Here the stream is cut into blocks at their
// magics (a bit-aligned search), and each block goes to libbz2 as a stream
// of its own: the header, the block's bits moved to a byte boundary, the end
// magic, and the block's CRC as the combined one (a one-block stream's
// combined CRC is its block's). libbz2 checks it whole; the output of a
// block that fails is taken back, so the output always ends with a block
// whose CRC checked. libbz2 also refuses a good block when the bits after it
// are not a magic (the next magic damaged, the end magic cut off); it has
// then handed the block's output out whole and checked its CRC, so such a
// block is decoded a second time, only for our own CRC of its output, and
// kept when that matches the CRC the block records.
//
// The entry ends at its first damage, unless recovery past damage is on
// (state->resync, entries with a recorded size): then the search goes on
// past a damaged block, the header or a lost magic, and every block found
// after it that checks is written behind the last good one. A lost stretch
// has no known length (a block holds up to level x 100,000 bytes before its
// last run-length step), so it is left out and mapped as lost.
//
// Memory stays bounded: only the block in hand is held, and a block that
// runs past the most a block can take (kBlockBound) is damage.
#include <bzlib.h>

#include <cstring>

#include "common/resync_map.h"
#include "decode/decode_frame.h"
#include "decode/decoders.h"

namespace arcsalve {
namespace {

constexpr uint64_t kBlockMagic = 0x314159265359;
constexpr uint64_t kEndMagic = 0x177245385090;
constexpr uint64_t kMagicBits = 48;
constexpr uint64_t kHeaderBits = 32;      // "BZh" and the level digit
constexpr uint64_t kBlockHeadBits = 80;   // a magic and a CRC
constexpr uint64_t kNone = ~uint64_t{0};  // no bit position

// Input is read in pieces of this size; output comes from libbz2 in pieces
// of the other.
constexpr int32_t kReadPiece = 64 * 1024;
constexpr size_t kOutputPiece = 64 * 1024;
// Zero bytes kept after the held input: the search reads 8 bytes at a time.
constexpr size_t kPadding = 8;

// The most compressed bytes a block of the given level can take: at most
// level x 100,000 symbols (one per byte of the block, and one to end it)
// of at most 20 bits each, the longest code libbz2 accepts, plus the
// tables and selectors, well within 64 KiB for any encoder.
uint64_t BlockBound(char level) { return uint64_t(level - '0') * 250000 + 65536; }

// The search for a magic looks at every fourth byte and the one after it.
// A magic that starts at bit s (0 = most significant) of byte i covers
// bytes i + 1 to i + 5 whole, and one of any four bytes in a row is looked
// at. For each byte value, `first` has bit (4 - k) * 8 + s set when a magic
// starting at bit s of byte j - k puts that value in byte j, and `second`
// the same bit when it puts that value in byte j + 1: a start needs its bit
// in both, and the starts to test, in the order of their bits, are the
// bits set in both from the lowest.
constexpr uint64_t kMagics[2] = {kBlockMagic, kEndMagic};
struct MagicFilter {
    uint32_t first[256];
    uint32_t second[256];
};
constexpr MagicFilter MakeFilter() {
    MagicFilter f{};
    for (uint64_t magic : kMagics)
        for (int k = 1; k <= 4; ++k)
            for (int s = 0; s < 8; ++s) {
                f.first[(magic >> (40 - 8 * k + s)) & 0xFF] |= 1u << ((4 - k) * 8 + s);
                f.second[(magic >> (32 - 8 * k + s)) & 0xFF] |= 1u << ((4 - k) * 8 + s);
            }
    return f;
}
constexpr MagicFilter kFilter = MakeFilter();
// Most byte values start nothing: the search costs little more than two
// table look-ups per four bytes.
constexpr int CountStartValues() {
    int n = 0;
    for (uint32_t bits : kFilter.first) n += bits != 0;
    return n;
}
static_assert(CountStartValues() <= 64, "at most one value per magic, k and s");

inline int LowestBit(uint32_t m) {
#if defined(__GNUC__)
    return __builtin_ctz(m);
#else
    int n = 0;
    while (!(m & 1u)) m >>= 1, ++n;
    return n;
#endif
}

// bzip2's CRC: the CRC-32 polynomial taken most significant bit first, not
// reflected as ZIP's is; initial value and final inversion as ZIP's.
struct CrcTable {
    uint32_t entry[256];
};
constexpr CrcTable MakeCrcTable() {
    CrcTable t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i << 24;
        for (int k = 0; k < 8; ++k) c = (c & 0x80000000u) ? (c << 1) ^ 0x04C11DB7u : c << 1;
        t.entry[i] = c;
    }
    return t;
}
constexpr CrcTable kCrcTable = MakeCrcTable();
constexpr uint32_t CrcUpdate(uint32_t crc, const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i) crc = crc << 8 ^ kCrcTable.entry[(crc >> 24 ^ p[i]) & 0xFF];
    return crc;
}
constexpr uint8_t kCheckInput[9] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
static_assert(~CrcUpdate(0xFFFFFFFFu, kCheckInput, 9) == 0xFC891918u, "bzip2's CRC of \"123456789\"");

inline uint64_t LoadBE64(const uint8_t* p) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return __builtin_bswap64(v);
#else
    return uint64_t{p[0]} << 56 | uint64_t{p[1]} << 48 | uint64_t{p[2]} << 40 | uint64_t{p[3]} << 32 |
           uint64_t{p[4]} << 24 | uint64_t{p[5]} << 16 | uint64_t{p[6]} << 8 | p[7];
#endif
}

inline void StoreBE64(uint8_t* p, uint64_t v) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    v = __builtin_bswap64(v);
    std::memcpy(p, &v, sizeof v);
#else
    for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (56 - 8 * i));
#endif
}

enum Kind { kBlock, kEnd, kJunk };

// The entry's compressed bytes in hand: absolute bytes [base, base + length)
// of its data at `bytes`, inside `buffer`, kPadding zero bytes after them.
struct Held {
    uint8_t* buffer;
    size_t capacity;  // of the buffer, less the padding
    uint8_t* bytes;
    size_t length;
    uint64_t base;
    bool ended;  // the data has no more bytes
    uint64_t End() const { return base + length; }
    // n bits (at most 56) from absolute bit `at`, most significant first;
    // the bytes must be held.
    uint64_t Bits(uint64_t at, int n) const {
        return LoadBE64(bytes + (at / 8 - base)) << (at & 7) >> (64 - n);
    }
};

struct Bunzip {
    DecodeState* state;
    ResyncReport* report;  // null: the entry ends at its first damage
    Held in;
    size_t holdLimit;      // the most bytes `in` may hold
    uint8_t* stream;       // one block as a stream of its own
    size_t streamCapacity;
    uint8_t* out;
    char level;
    uint64_t position;     // output handed over: whole blocks that checked
    uint32_t combined;     // their CRCs folded
    bool damaged;
    uint64_t lostFrom;     // bit where the lost stretch in hand began, or kNone
    uint64_t work;         // bytes searched past damage
};

bool Halted(const DecodeState* state) {
    return state->inputCut || RunStopped(state->status) || state->status->writeFailed;
}

// Reads the next piece of input behind the held bytes; false when none came.
// The held bytes move to the buffer's start, or to a larger buffer, only
// when the piece would not fit behind them.
bool ReadMore(Bunzip& b) {
    Held& in = b.in;
    if (in.ended || Halted(b.state)) return false;
    if (in.capacity - static_cast<size_t>(in.bytes - in.buffer) - in.length < size_t{kReadPiece}) {
        uint8_t* to = in.buffer;
        size_t capacity = in.capacity;
        if (capacity - in.length < size_t{kReadPiece}) {
            capacity = capacity * 2 < b.holdLimit ? capacity * 2 : b.holdLimit;
            to = capacity >= in.length + kReadPiece ? static_cast<uint8_t*>(MemoryAllocate(capacity + kPadding))
                                                    : nullptr;
            if (to == nullptr) {
                in.ended = true;  // no room to hold more: the data ends here
                return false;
            }
        }
        std::memmove(to, in.bytes, in.length);
        std::memset(to + in.length, 0, kPadding);
        if (to != in.buffer) MemoryFree(in.buffer);
        in.buffer = to;
        in.bytes = to;
        in.capacity = capacity;
    }
    const int32_t got = ReadCompressedBlock(b.state, in.bytes + in.length, kReadPiece);
    if (got <= 0) {
        in.ended = true;
        return false;
    }
    in.length += static_cast<size_t>(got);
    std::memset(in.bytes + in.length, 0, kPadding);
    return true;
}

// Holds input at least up to absolute byte `end`; false when the data ends
// before it.
bool HoldUpTo(Bunzip& b, uint64_t end) {
    while (b.in.End() < end)
        if (!ReadMore(b)) return false;
    return true;
}

// Lets go of the held bytes before absolute byte `at`.
void DropBefore(Held& in, uint64_t at) {
    if (at <= in.base) return;
    const size_t n = at - in.base < in.length ? static_cast<size_t>(at - in.base) : in.length;
    in.bytes += n;
    in.base += n;
    in.length -= n;
}

// The magic at bit `at`, if its 48 bits are in the data.
Kind KindAt(Bunzip& b, uint64_t at) {
    if (!HoldUpTo(b, (at + kMagicBits + 7) / 8)) return kJunk;
    const uint64_t v = b.in.Bits(at, kMagicBits);
    return v == kBlockMagic ? kBlock : v == kEndMagic ? kEnd : kJunk;
}

// The first magic, of a block or of the end, that starts at bit `from` or
// after it and before bit `limit`, with all its 48 bits in the data: its bit
// and *kind; kNone when there is none. With keep false the bytes searched
// are let go on the way. Linear, and cheap (see kFilter).
uint64_t FindMagic(Bunzip& b, uint64_t from, uint64_t limit, bool keep, Kind* kind) {
    Held& in = b.in;
    uint64_t i = from / 8;  // the first byte whose starts are not tested yet
    for (;;) {
        // Starts in bytes before `stop` are tested: their 8 bytes are held,
        // or the data has ended (zero padding then; a magic must end within
        // the data).
        uint64_t stop = in.ended ? in.End() : in.End() > 7 ? in.End() - 7 : 0;
        const bool bounded = limit / 8 < stop;
        if (bounded) stop = limit / 8 + 1;
        // Byte j tells of the starts in bytes j - 4 to j - 1.
        for (uint64_t j = i + 4; j < stop + 4; j += 4) {
            const uint8_t* q = in.bytes + (j - in.base);
            for (uint32_t m = kFilter.first[q[0]] & kFilter.second[q[1]]; m != 0; m &= m - 1) {
                const int bit = LowestBit(m);
                const uint64_t start = j - 4 + static_cast<uint64_t>(bit / 8);
                const uint64_t p = 8 * start + static_cast<uint64_t>(bit & 7);
                if (start < i || start >= stop || p < from || p >= limit || p + kMagicBits > 8 * in.End()) continue;
                const uint64_t v = LoadBE64(in.bytes + (start - in.base)) << (bit & 7) >> 16;
                if (v == kBlockMagic || v == kEndMagic) {
                    *kind = v == kBlockMagic ? kBlock : kEnd;
                    return p;
                }
            }
        }
        if (bounded || in.ended) return kNone;
        if (stop > i) i = stop;
        if (!keep) DropBefore(in, i);
        if (!ReadMore(b) && !in.ended) return kNone;
    }
}

// Writes bits most significant first.
struct BitWriter {
    uint8_t* p;
    uint64_t acc;
    int count;
    void Put(uint64_t v, int n) {  // n <= 48
        acc = acc << n | v;
        for (count += n; count >= 8; count -= 8) *p++ = static_cast<uint8_t>(acc >> (count - 8));
    }
    void Finish() {
        if (count > 0) *p++ = static_cast<uint8_t>(acc << (8 - count));
    }
};

// Lays out bits [from, to) of the held input, a block from its magic on, as
// a stream of its own in b.stream; its length, or 0 without memory.
size_t BuildStream(Bunzip& b, uint64_t from, uint64_t to, uint32_t crc) {
    const uint64_t bits = to - from;
    const size_t need = static_cast<size_t>(bits / 8) + 16;
    if (need > b.streamCapacity) {
        MemoryFree(b.stream);
        b.stream = static_cast<uint8_t*>(MemoryAllocate(need));
        b.streamCapacity = b.stream != nullptr ? need : 0;
        if (b.stream == nullptr) return 0;
    }
    uint8_t* s = b.stream;
    s[0] = 'B';
    s[1] = 'Z';
    s[2] = 'h';
    s[3] = static_cast<uint8_t>(b.level);
    // The block's whole bytes, shifted to the byte boundary at bit 32.
    const uint8_t* p = b.in.bytes + (from / 8 - b.in.base);
    const unsigned shift = from & 7;
    const size_t whole = static_cast<size_t>(bits / 8);
    // Seven bytes at a time from eight (the held bytes have kPadding after
    // them; the stream has room for the eighth, written over next).
    for (size_t k = 0; k < whole; k += 7) StoreBE64(s + 4 + k, LoadBE64(p + k) << shift);
    BitWriter w{s + 4 + whole, 0, 0};
    const int rest = static_cast<int>(bits & 7);
    if (rest > 0) w.Put(b.in.Bits(from + 8 * whole, rest), rest);
    w.Put(kEndMagic, kMagicBits);
    w.Put(crc, 32);
    w.Finish();
    return static_cast<size_t>(w.p - s);
}

void* Allocate(void*, int items, int size) {
    return MemoryAllocate(static_cast<size_t>(items) * static_cast<size_t>(size));
}
void Release(void*, void* block) { MemoryFree(block); }

// Runs libbz2 over the stream in b.stream. The output goes to WriteDecoded
// from *position on, or, with crc given, only into that bzip2 CRC; either
// way *position advances. *used: the stream bytes libbz2 took. Returns 1 at
// the stream's end, 0 on damage, -1 when the decode must stop (a stop, a
// failed write, the output limit, no memory).
int RunStream(Bunzip& b, size_t length, uint64_t* position, uint32_t* crc, size_t* used) {
    bz_stream z;
    std::memset(&z, 0, sizeof z);
    z.bzalloc = Allocate;
    z.bzfree = Release;
    *used = 0;
    // Not the small-memory mode: the fast decoder, at most about 4 MB.
    if (BZ2_bzDecompressInit(&z, 0, 0) != BZ_OK) return -1;
    // libbz2 takes its counts as unsigned int: a block's stream fits.
    z.next_in = reinterpret_cast<char*>(b.stream);
    z.avail_in = static_cast<unsigned>(length);
    int result = 0;
    for (;;) {
        const unsigned inBefore = z.avail_in;
        z.next_out = reinterpret_cast<char*>(b.out);
        z.avail_out = static_cast<unsigned>(kOutputPiece);
        const int r = BZ2_bzDecompress(&z);
        const size_t produced = kOutputPiece - z.avail_out;
        if (produced > 0) {
            if (crc != nullptr) *crc = CrcUpdate(*crc, b.out, produced);
            else WriteDecoded(b.state, b.out, *position, static_cast<uint32_t>(produced));
            *position += produced;
        }
        if (r == BZ_STREAM_END) result = 1;
        else if (r == BZ_MEM_ERROR || (r == BZ_OK && Halted(b.state))) result = -1;
        if (r != BZ_OK || result != 0) break;
        if (produced == 0 && z.avail_in == inBefore) break;  // wants input the stream lacks
    }
    *used = length - z.avail_in;
    BZ2_bzDecompressEnd(&z);
    return result;
}

enum BlockResult { kBlockHalted = -1, kBlockLost = 0, kBlockGood, kBlockGoodThenJunk };

// Decodes the block at bits [from, to). A block that checks leaves its
// output handed over; any other has it taken back. kBlockGoodThenJunk: the
// block checked, but bits that are not a magic follow it; *end is then about
// where it ended (libbz2 reads the stream a byte at a time).
BlockResult DecodeBlock(Bunzip& b, uint64_t from, uint64_t to, uint64_t* end) {
    if (to - from < kBlockHeadBits) return kBlockLost;
    const uint32_t recorded = static_cast<uint32_t>(b.in.Bits(from + kMagicBits, 32));
    const size_t length = BuildStream(b, from, to, recorded);
    if (length == 0) return kBlockHalted;
    const OutputMark mark = MarkOutput(b.state, b.position);
    uint64_t position = b.position;
    size_t used = 0;
    const int r = RunStream(b, length, &position, nullptr, &used);
    BlockResult result = r > 0 ? kBlockGood : r < 0 ? kBlockHalted : kBlockLost;
    if (result == kBlockLost && position > b.position) {
        uint64_t again = b.position;
        uint32_t crc = 0xFFFFFFFFu;
        size_t usedAgain = 0;
        if (RunStream(b, length, &again, &crc, &usedAgain) == 0 && again == position && ~crc == recorded) {
            result = kBlockGoodThenJunk;
            *end = from + (used > 4 ? 8 * uint64_t{used - 4} : 0);
        }
    }
    if (result == kBlockGood || result == kBlockGoodThenJunk) {
        b.position = position;
        b.combined = (b.combined << 1 | b.combined >> 31) ^ recorded;
    } else {
        TakeBackOutput(b.state, mark);
    }
    return result;
}

// Notes damage that starts at bit `at`; false when the entry ends there
// (recovery past damage off, or its work allowance spent).
bool Damage(Bunzip& b, uint64_t at) {
    if (!b.damaged) {
        b.damaged = true;
        if (b.report != nullptr) {
            b.report->prefix = b.position;
            AddResyncRange(b.report, kRangeKnown, 0, b.position);
        }
    }
    if (b.report == nullptr) return false;
    if (b.lostFrom == kNone) b.lostFrom = at;
    return b.work < b.report->workLeft;
}

// Maps the lost stretch in hand, if any, as ending at bit `at`; its place
// in the output is b.position.
void EndLoss(Bunzip& b, uint64_t at) {
    if (b.lostFrom == kNone) return;
    AddResyncRange(b.report, kRangeLost, b.position, (at - b.lostFrom + 7) / 8);
    b.lostFrom = kNone;
}

// Maps the output of a block that checked after damage, which began at
// output offset `before` and at bit `at`: a lost stretch before it makes it
// the start of a new piece.
void Recovered(Bunzip& b, uint64_t at, uint64_t before) {
    if (!b.damaged || b.report == nullptr) return;
    if (b.lostFrom != kNone) {
        const uint64_t after = b.position;
        b.position = before;
        EndLoss(b, at);
        b.position = after;
        ++b.report->pieces;
    }
    AddResyncRange(b.report, kRangeKnown, before, b.position - before);
    b.report->recovered += b.position - before;
}

// The stream's blocks from the segment starting at bit `at` on; 1 when the
// stream ended well (*streamEnd: its length in bytes).
int DecodeBlocks(Bunzip& b, uint64_t at, Kind kind, uint64_t* streamEnd) {
    const uint64_t bound = 8 * BlockBound(b.level);
    for (;;) {
        if (Halted(b.state)) return 0;
        if (kind == kEnd) {
            // The combined CRC after the end magic vouches for the blocks
            // as a whole: none missing.
            EndLoss(b, at);
            if (!HoldUpTo(b, (at + kBlockHeadBits + 7) / 8)) return 0;
            *streamEnd = (at + kBlockHeadBits + 7) / 8;
            return !b.damaged && b.in.Bits(at + kMagicBits, 32) == b.combined;
        }
        // A block ends where the next magic starts; junk is searched for
        // the next magic from its first bit, bytes let go as it goes.
        Kind next = kJunk;
        const uint64_t limit = kind == kBlock ? at + bound : kNone;
        uint64_t found = FindMagic(b, kind == kBlock ? at + kMagicBits : at, limit, kind == kBlock, &next);
        const bool dataEnded = found == kNone && (kind == kJunk || 8 * b.in.End() < limit);
        // (Where the data ends before `at`, as a stream cut inside its
        // header, the segment is empty.)
        uint64_t to = found != kNone ? found : dataEnded ? 8 * b.in.End() : limit;
        if (to < at) to = at;
        if (b.lostFrom != kNone) b.work += (to - at) / 8;
        if (kind == kBlock) {
            uint64_t end = to;
            const uint64_t before = b.position;
            const BlockResult r = DecodeBlock(b, at, to, &end);
            if (r == kBlockHalted) return 0;
            if (r == kBlockLost && !Damage(b, at)) return 0;
            if (r != kBlockLost) Recovered(b, at, before);
            // Junk after a good block is damage, unless it is no more than
            // a cut end magic and CRC at the end of the data.
            if (r == kBlockGoodThenJunk && !(dataEnded && to - end < kBlockHeadBits + 8) && !Damage(b, end)) return 0;
        }
        if (dataEnded) {
            EndLoss(b, to);
            return 0;
        }
        if (found == kNone) {
            // A block past its bound: what follows it is searched as junk.
            if (!Damage(b, to)) return 0;
            at = to;
            kind = kJunk;
            continue;
        }
        DropBefore(b.in, found / 8);
        at = found;
        kind = next;
    }
}

}  // namespace

int Bunzip2(DecodeState* state) {
    Bunzip b{};
    b.state = state;
    b.report = state->streamed ? nullptr : state->resync;
    b.lostFrom = kNone;
    b.holdLimit = static_cast<size_t>(BlockBound('9')) + 2 * kReadPiece;
    b.in.capacity = 2 * kReadPiece;
    b.in.buffer = static_cast<uint8_t*>(MemoryAllocate(b.in.capacity + kPadding));
    b.in.bytes = b.in.buffer;
    b.out = static_cast<uint8_t*>(MemoryAllocate(kOutputPiece));
    int ok = 0;
    if (b.in.buffer != nullptr && b.out != nullptr) {
        std::memset(b.in.buffer, 0, kPadding);
        // A damaged header leaves the level unknown: 9 admits every block.
        const bool header = HoldUpTo(b, 4) && std::memcmp(b.in.bytes, "BZh", 3) == 0 && b.in.bytes[3] >= '1' &&
                            b.in.bytes[3] <= '9';
        b.level = header ? static_cast<char>(b.in.bytes[3]) : '9';
        const Kind first = KindAt(b, kHeaderBits);
        uint64_t at = kHeaderBits;
        bool go = true;
        if (!header) go = Damage(b, 0);
        if (go && first == kJunk) go = Damage(b, at);
        uint64_t streamEnd = 0;
        if (go) ok = DecodeBlocks(b, at, first, &streamEnd);
        if (ok) state->unusedInput = static_cast<int32_t>(state->consumed - static_cast<int64_t>(streamEnd));
    }
    if (b.report != nullptr) {
        b.report->workUsed = b.work;
        b.report->workLeft -= b.work < b.report->workLeft ? b.work : b.report->workLeft;
    }
    MemoryFree(b.in.buffer);
    MemoryFree(b.stream);
    MemoryFree(b.out);
    return ok && !Halted(state);
}

}  // namespace arcsalve
