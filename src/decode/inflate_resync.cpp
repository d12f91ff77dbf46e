// Recovery past damage inside deflated data (see inflate_resync.h).
//
// Deflate blocks do not start at byte boundaries and carry no marker, so
// a block start is recognised by what follows it making sense, tried at
// every bit position after the damage:
//   - a dynamic block (type 2) whose header builds complete codes (a
//     literal/length code with an end-of-block code, a complete code-length
//     code, a complete distance code or a single one-bit one) and whose
//     symbols decode to its end-of-block code, followed by a next block
//     header that is valid (or by nothing: the block was the last one);
//   - a stored block (type 0) whose LEN and NLEN agree, followed by a valid
//     block header;
//   - a fixed block (type 1) only when it decodes cleanly to its end and
//     the block after it is a proven dynamic or stored block: random bits
//     make short clean fixed blocks too often to trust one alone.
// A valid next header: a dynamic header that builds complete codes, a
// stored block whose LEN and NLEN agree, or a fixed block that decodes
// cleanly to its end.
//
// From a proven block on, blocks are decoded with a window whose earlier
// bytes are unknown. Every window byte carries a flag: a copy from an
// unknown byte gives an unknown byte, written as kResyncFill. A later error
// starts the search again one bit after the start of the block that failed.
//
// Work is bounded: each candidate position costs one unit plus the bits its
// proof decodes, taken from report->workLeft; the search stops when that is
// spent. A false candidate usually fails within a few dozen bits, so the
// search is linear in the input, and the bound holds on any input.
#include "decode/inflate_resync.h"

#include <algorithm>
#include <cstring>

#include "common/deflate_format.h"
#include "decode/decode_frame.h"
#include "platform/platform.h"

namespace arcsalve {

namespace {

constexpr int kMaxCodeBits = 15;
constexpr int kLookupBits = 10;
constexpr uint32_t kLiteralSymbols = 288;
constexpr uint32_t kEndOfBlock = 256;
// A block that would prove a candidate must end within this many bits:
// encoders end blocks long before (zlib after at most 32768 symbols).
constexpr uint64_t kMaxProofBits = uint64_t{1} << 23;
constexpr uint64_t kPadding = 32;

// A canonical Huffman code: a first-level table for codes up to kLookupBits
// long (symbol << 4 | length; 0 for none) and the counts and sorted
// symbols for the longer ones.
struct Code {
    uint16_t lookup[1 << kLookupBits];
    uint16_t count[kMaxCodeBits + 1];
    uint16_t symbol[kLiteralSymbols];
};

// Builds the code for lengths[0..n). Returns the code space left unused:
// 0 for a complete code, more for an incomplete one, negative for an
// over-subscribed one (then the code is not usable).
int32_t BuildCode(Code* c, const uint8_t* lengths, uint32_t n) {
    std::memset(c->count, 0, sizeof c->count);
    for (uint32_t i = 0; i < n; ++i) ++c->count[lengths[i]];
    int32_t left = 1;
    for (int len = 1; len <= kMaxCodeBits; ++len) {
        left = left * 2 - c->count[len];
        if (left < 0) return left;
    }
    uint16_t offsets[kMaxCodeBits + 2];
    offsets[1] = 0;
    for (int len = 1; len <= kMaxCodeBits; ++len) offsets[len + 1] = offsets[len] + c->count[len];
    for (uint32_t i = 0; i < n; ++i)
        if (lengths[i] != 0) c->symbol[offsets[lengths[i]]++] = static_cast<uint16_t>(i);
    // Canonical codes, bit-reversed for the lookup (deflate sends codes
    // most significant bit first into a least-significant-first stream).
    std::memset(c->lookup, 0, sizeof c->lookup);
    uint32_t code = 0;
    uint32_t index = 0;
    for (int len = 1; len <= kLookupBits; ++len) {
        for (uint32_t k = 0; k < c->count[len]; ++k, ++code, ++index) {
            uint32_t reversed = 0;
            for (int b = 0; b < len; ++b) reversed |= ((code >> b) & 1u) << (len - 1 - b);
            const uint16_t entry = static_cast<uint16_t>(c->symbol[index] << 4 | len);
            for (uint32_t fill = reversed; fill < (1u << kLookupBits); fill += 1u << len) c->lookup[fill] = entry;
        }
        code <<= 1;
    }
    return left;
}

// The damaged entry's remaining bits, in memory, with kPadding zero bytes
// after them: a block header is read field by field and checked for the
// end only after its fixed part (at most 71 bits), and every read takes 8
// bytes, so a read near the end never leaves the block.
struct Bits {
    const uint8_t* data;
    uint64_t total;  // bits
    uint64_t pos;

    uint64_t Window() const {
        uint64_t v;
        std::memcpy(&v, data + (pos >> 3), 8);
        return v >> (pos & 7);
    }
    uint32_t Take(uint32_t n) {
        const uint32_t v = static_cast<uint32_t>(Window() & ((uint64_t{1} << n) - 1));
        pos += n;
        return v;
    }
    bool Over() const { return pos > total; }
};

// The next symbol of code c, or -1 for a pattern no symbol takes.
int32_t DecodeSymbol(Bits& b, const Code& c) {
    if (b.pos > b.total) return -1;
    const uint64_t w = b.Window();
    const uint16_t e = c.lookup[w & ((1u << kLookupBits) - 1)];
    if (e != 0) {
        b.pos += e & 15u;
        return e >> 4;
    }
    // Longer codes: the canonical walk, one bit at a time.
    int32_t code = 0, first = 0, index = 0;
    for (int len = 1; len <= kMaxCodeBits; ++len) {
        code |= static_cast<int32_t>((w >> (len - 1)) & 1u);
        const int32_t count = c.count[len];
        if (code - first < count) {
            b.pos += static_cast<uint64_t>(len);
            return c.symbol[index + code - first];
        }
        index += count;
        first = (first + count) << 1;
        code <<= 1;
    }
    return -1;
}

// Deflate's value lists, Deflate64's changes applied when asked.
struct Format {
    uint32_t lengthBase[29];
    uint32_t lengthExtra[29];
    uint32_t distanceBase[32];
    uint32_t distanceExtra[32];
    uint32_t distanceCodes;  // 30, or 32 for Deflate64
    uint32_t windowSize;
};

Format MakeFormat(bool deflate64) {
    Format f{};
    for (int i = 0; i < kDeflateLengthCodes; ++i) {
        f.lengthBase[i] = kDeflateLengthBase[i];
        f.lengthExtra[i] = kDeflateLengthExtra[i];
    }
    for (int i = 0; i < kDeflateDistanceCodes; ++i) {
        f.distanceBase[i] = kDeflateDistanceBase[i];
        f.distanceExtra[i] = kDeflateDistanceExtra[i];
    }
    f.distanceCodes = kDeflateDistanceCodes;
    f.windowSize = kWindowSize;
    if (deflate64) {
        f.lengthBase[28] = 3;
        f.lengthExtra[28] = 16;
        f.distanceBase[30] = 32769;
        f.distanceBase[31] = 49153;
        f.distanceExtra[30] = f.distanceExtra[31] = 14;
        f.distanceCodes = 32;
        f.windowSize = kLargeWindowSize;
    }
    return f;
}

// The window with a known flag per byte, and where decoded bytes go.
struct Sink {
    DecodeState* state;
    ResyncReport* report;
    uint32_t size;            // window size
    uint32_t wp;              // next free window byte
    uint64_t filled;          // bytes ever put in the window since the resumption
    uint64_t output;          // output offset of window[0]
    uint8_t* window;
    uint8_t* known;
    bool write = true;        // false: the bytes are only decoded, never written
    // With check set, decoding stops (anomaly set) at a copy that could
    // have been one byte longer: the literal after it, known, equals the
    // byte after the copy's source. Encoders extend every match as far as
    // it goes (up to the longest length they code) rather than spend a
    // literal on the next byte, so in real data this does not happen within
    // a block, while damaged bits decoded as symbols make such copies within
    // a few hundred bytes.
    bool check = false;
    bool anomaly = false;
    uint32_t pending = 0;     // the last copy's distance while it may be checked
    uint32_t longest = 258;   // copies this long are not checked
    // Bytes put at output offsets below this are unknown, whatever decoded
    // them: they may still be damaged bits' output.
    uint64_t trustFrom = 0;
};

struct Resync {
    Format format;
    Code literal;
    Code distance;
    Code lengthCode;
    Code fixedLiteral;
    Code fixedDistance;
    uint8_t lengths[kLiteralSymbols + 32];
    uint64_t work;   // units spent
    uint64_t limit;  // units allowed
    // One bit per input bit: a check of fixed-code symbols that starts
    // there fails. Huffman decoding falls into step with itself within a
    // few symbols, so without this the fixed candidates of the search would
    // decode the same doomed symbols over and over.
    uint8_t* fixedFails;
};

inline bool Marked(const uint8_t* map, uint64_t pos) { return (map[pos >> 3] >> (pos & 7)) & 1u; }
inline void Mark(uint8_t* map, uint64_t pos) { map[pos >> 3] |= static_cast<uint8_t>(1u << (pos & 7)); }

// Writes the window's first count bytes, known or fill, and maps them.
void Flush(Sink* s, uint32_t count) {
    if (count == 0) return;
    if (!s->write) {
        s->output += count;
        return;
    }
    WriteDecoded(s->state, s->window, s->output, count);
    uint32_t i = 0;
    while (i < count) {
        const uint8_t k = s->known[i];
        uint32_t j = i + 1;
        while (j < count && s->known[j] == k) ++j;
        AddResyncRange(s->report, k ? kRangeKnown : kRangeUnknown, s->output + i, j - i);
        if (!k) s->report->unknown += j - i;
        i = j;
    }
    s->report->recovered += count;
    s->output += count;
}

inline void Put(Sink* s, uint8_t byte, uint8_t known) {
    if (s->output + s->wp < s->trustFrom) known = 0;
    s->window[s->wp] = known ? byte : kResyncFill;
    s->known[s->wp] = known;
    if (++s->wp == s->size) {
        Flush(s, s->size);
        s->wp = 0;
    }
    ++s->filled;
}

inline void Copy(Sink* s, uint32_t length, uint32_t distance) {
    for (; length > 0; --length) {
        if (distance > s->filled) {
            Put(s, 0, 0);
        } else {
            const uint32_t from = (s->wp - distance) & (s->size - 1);
            Put(s, s->window[from], s->known[from]);
        }
    }
}

// Whether the next byte, of value byte, would have extended the last copy.
inline bool Extends(Sink* s, uint8_t byte, uint8_t known) {
    const uint32_t d = s->pending;
    s->pending = 0;
    if (!s->check || d == 0 || !known || d > s->filled) return false;
    const uint32_t from = (s->wp - d) & (s->size - 1);
    if (!s->known[from] || s->window[from] != byte) return false;
    s->anomaly = true;
    return true;
}

bool Halted(const DecodeState* state) {
    return state->inputCut || RunStopped(state->status) || state->status->writeFailed;
}

// Decodes symbols with the given codes to the end-of-block code. With a sink
// the bytes go to it; without one the block is only checked, every bit
// decoded costing a unit of work. False on an invalid symbol or distance,
// input run out, or a check that exceeds its bound.
bool DecodeCodesOnce(Resync& r, Bits& b, const Code& lit, const Code& dist, bool hasDistances, Sink* sink,
                     const uint8_t* fails) {
    const uint64_t start = b.pos;
    const Format& f = r.format;
    // Decodes that write nothing count against the allowance as checks do.
    const bool counted = sink == nullptr || !sink->write;
    for (;;) {
        // A check stops at its bound, and before it could take the work past
        // the allowance (a symbol and its extra bits take under 64 bits).
        if (sink == nullptr && b.pos - start > kMaxProofBits) return false;
        if (counted && r.work + (b.pos - start) + 64 > r.limit) return false;
        if (fails != nullptr && b.pos <= b.total && Marked(fails, b.pos)) return false;
        const int32_t sym = DecodeSymbol(b, lit);
        if (sym < 0) return false;
        if (sym < 256) {
            if (sink != nullptr) {
                if (Extends(sink, static_cast<uint8_t>(sym), 1)) return false;
                Put(sink, static_cast<uint8_t>(sym), 1);
            }
        } else if (sym == static_cast<int32_t>(kEndOfBlock)) {
            break;
        } else {
            const uint32_t li = static_cast<uint32_t>(sym) - 257;
            if (li >= 29 || !hasDistances) return false;
            const uint32_t length = f.lengthBase[li] + b.Take(f.lengthExtra[li]);
            const int32_t d = DecodeSymbol(b, dist);
            if (d < 0 || static_cast<uint32_t>(d) >= f.distanceCodes) return false;
            const uint32_t distance = f.distanceBase[d] + b.Take(f.distanceExtra[d]);
            if (b.Over()) return false;
            if (sink != nullptr) {
                // A copy right after a copy is not checked: an encoder that
                // weighs costs may end a copy early for a better next one.
                sink->pending = 0;
                Copy(sink, length, distance);
                sink->pending = length < sink->longest ? distance : 0;
            }
        }
        if (b.Over()) return false;
        if (sink != nullptr && Halted(sink->state)) return false;
    }
    return !b.Over();
}

// DecodeCodesOnce; a failed check of fixed-code symbols marks the symbol
// starts it passed, so that no later check decodes them again.
bool DecodeCodes(Resync& r, Bits& b, const Code& lit, const Code& dist, bool hasDistances, Sink* sink) {
    const bool fixed = sink == nullptr && &lit == &r.fixedLiteral && r.fixedFails != nullptr;
    const uint64_t start = b.pos;
    const bool ok = DecodeCodesOnce(r, b, lit, dist, hasDistances, sink, fixed ? r.fixedFails : nullptr);
    if ((sink == nullptr || !sink->write) && b.pos > start) r.work += b.pos - start;
    if (ok || !fixed) return ok;
    const uint64_t failedAt = b.pos;
    Bits again = b;
    again.pos = start;
    while (again.pos < failedAt && again.pos <= again.total && !Marked(r.fixedFails, again.pos)) {
        Mark(r.fixedFails, again.pos);
        const int32_t sym = DecodeSymbol(again, lit);
        if (sym < 0) break;
        if (sym > 256) {
            const uint32_t li = static_cast<uint32_t>(sym) - 257;
            if (li >= 29) break;
            again.Take(r.format.lengthExtra[li]);
            const int32_t d = DecodeSymbol(again, dist);
            if (d < 0 || static_cast<uint32_t>(d) >= r.format.distanceCodes) break;
            again.Take(r.format.distanceExtra[d]);
        }
    }
    return false;
}

// Reads a dynamic block's header at b (after the 3 header bits) and builds
// its codes in r.literal and r.distance, strictly: complete codes only
// (a single one-bit distance code aside), and an end-of-block code.
bool ReadDynamicHeader(Resync& r, Bits& b, bool* hasDistances) {
    const uint32_t nl = 257 + b.Take(5);
    const uint32_t nd = 1 + b.Take(5);
    const uint32_t nc = 4 + b.Take(4);
    if (nl > 286 || nd > r.format.distanceCodes) return false;
    uint8_t clen[kDeflateCodeLengthCodes] = {};
    for (uint32_t i = 0; i < nc; ++i) clen[kDeflateCodeLengthOrder[i]] = static_cast<uint8_t>(b.Take(3));
    if (b.Over()) return false;
    const int32_t cleft = BuildCode(&r.lengthCode, clen, kDeflateCodeLengthCodes);
    if (cleft != 0) return false;
    uint32_t filled = 0;
    uint8_t last = 0;
    const uint32_t total = nl + nd;
    while (filled < total) {
        const int32_t sym = DecodeSymbol(b, r.lengthCode);
        if (sym < 0) return false;
        if (sym < 16) {
            r.lengths[filled++] = last = static_cast<uint8_t>(sym);
            continue;
        }
        uint32_t repeat;
        uint8_t value = 0;
        if (sym == 16) {
            if (filled == 0) return false;
            repeat = 3 + b.Take(2);
            value = last;
        } else if (sym == 17) {
            repeat = 3 + b.Take(3);
        } else {
            repeat = 11 + b.Take(7);
        }
        if (filled + repeat > total) return false;
        std::memset(r.lengths + filled, value, repeat);
        filled += repeat;
        last = value;
    }
    if (b.Over() || r.lengths[kEndOfBlock] == 0) return false;
    if (BuildCode(&r.literal, r.lengths, nl) != 0) return false;
    uint32_t used = 0;
    for (uint32_t i = 0; i < nd; ++i) used += r.lengths[nl + i] != 0;
    const int32_t dleft = BuildCode(&r.distance, r.lengths + nl, nd);
    *hasDistances = used > 0;
    // No distance code at all (a block of literals), a complete code, or
    // one code of one bit, as the format allows.
    return used == 0 || dleft == 0 || (used == 1 && r.distance.count[1] == 1);
}

bool StoredHeaderAt(Bits& b, uint32_t* len) {
    b.pos = (b.pos + 7) & ~uint64_t{7};
    const uint32_t l = b.Take(16);
    const uint32_t nl = b.Take(16);
    if (b.Over() || l != (nl ^ 0xFFFFu)) return false;
    *len = l;
    return b.pos + uint64_t{l} * 8 <= b.total;
}

void MakeFixedCodes(Resync& r) {
    uint8_t* l = r.lengths;
    std::memset(l, 8, 144);
    std::memset(l + 144, 9, 112);
    std::memset(l + 256, 7, 24);
    std::memset(l + 280, 8, 8);
    BuildCode(&r.fixedLiteral, l, kLiteralSymbols);
    std::memset(l, 5, 32);
    BuildCode(&r.fixedDistance, l, 32);
}

// Decodes (with a sink) or checks (without) the block whose 3-bit header
// is at b.pos; on success b.pos is past the block and *final tells whether
// it was the last one.
bool RunBlock(Resync& r, Bits& b, bool* final, Sink* sink) {
    *final = b.Take(1) != 0;
    const uint32_t type = b.Take(2);
    // Copies are checked within a block only: an encoder may end a block
    // (or flush) inside a run it would otherwise have matched on.
    if (sink != nullptr) sink->pending = 0;
    if (type == 0) {
        uint32_t len;
        if (!StoredHeaderAt(b, &len)) return false;
        if (sink != nullptr && !sink->write) {
            if (r.work + uint64_t{len} * 8 > r.limit) return false;
            r.work += uint64_t{len} * 8;
        }
        if (sink != nullptr) {
            const uint8_t* p = b.data + (b.pos >> 3);
            for (uint32_t i = 0; i < len; ++i) Put(sink, p[i], 1);
        }
        b.pos += uint64_t{len} * 8;
        return true;
    }
    if (type == 1) return DecodeCodes(r, b, r.fixedLiteral, r.fixedDistance, true, sink);
    if (type == 2) {
        bool hasDistances;
        if (!ReadDynamicHeader(r, b, &hasDistances)) return false;
        // The distance code is rebuilt into its own slot: the header
        // reader leaves it in r.distance.
        return DecodeCodes(r, b, r.literal, r.distance, hasDistances, sink);
    }
    return false;
}

// Whether a valid block header stands at b.pos (see the top of the file).
// A fixed block must decode cleanly and be followed by a valid stored or
// dynamic header in turn.
bool ValidNextHeader(Resync& r, Bits b, bool fixedAllowed = true) {
    if (b.pos == b.total) return true;
    const bool final = b.Take(1) != 0;
    const uint32_t type = b.Take(2);
    if (type == 0) {
        uint32_t len;
        return StoredHeaderAt(b, &len);
    }
    if (type == 2) {
        bool hasDistances;
        return ReadDynamicHeader(r, b, &hasDistances);
    }
    if (type == 1 && fixedAllowed) {
        if (!DecodeCodes(r, b, r.fixedLiteral, r.fixedDistance, true, nullptr)) return false;
        return final || ValidNextHeader(r, b, false);
    }
    return false;
}

// Whether a block at pos proves itself; depth 1 for the block after a
// fixed one, which must itself be proven, but not by a further fixed one.
bool Proven(Resync& r, const Bits& from, uint64_t pos, int depth) {
    Bits b = from;
    b.pos = pos;
    const uint32_t type = static_cast<uint32_t>(b.Window() >> 1) & 3u;
    if (type == 3 || (depth > 0 && type == 1)) return false;
    bool final;
    if (!RunBlock(r, b, &final, nullptr)) return false;
    // An empty stored block proves nothing by itself (zero LEN and NLEN of
    // 0xFFFF is a pattern easily met); nor does a very short block.
    if (b.pos - pos < 48) return false;
    // A fixed or stored block proves itself only with a proven block after
    // it: random bits hold LEN/NLEN pairs every 64 KiB or so, and short
    // clean fixed blocks more often than that. A fixed block is never the
    // proof of another; a run of stored blocks (incompressible data) is
    // taken when four of them agree, or a last one ends the data.
    if (type == 1 || type == 0) {
        if (final) return type == 0 && b.total - b.pos < 8 * kEndOfDataAllowance + 8;
        if (type == 0 && depth >= 3) return false;
        return Proven(r, from, b.pos, depth + 1);
    }
    if (final) return true;
    return ValidNextHeader(r, b);
}

// Searches for a proven block from bit pos on; the bit position found, or
// total when none is found within the work allowed.
uint64_t Search(Resync& r, const Bits& b, uint64_t pos) {
    for (; pos + 3 <= b.total; ++pos) {
        if (r.work >= r.limit) return b.total;
        ++r.work;
        if (Proven(r, b, pos, 0)) return pos;
    }
    return b.total;
}

// The remaining input of the entry: the bits left in the decoder's buffer,
// then what the byte source still delivers, up to kResyncInputLimit bytes.
// The source's position before is in *resume. Returns the block (kPadding
// zero bytes after the data) or null.
// With fromStart, the entry's data from its first byte instead (plain data
// only: the reader goes back to where the data starts).
uint8_t* ReadRest(DecodeState* state, DecodeWorkspace* ws, uint64_t* bits, uint64_t* resume, int64_t* consumed,
                  bool fromStart = false) {
    *resume = SourcePosition(state->source) - static_cast<uint64_t>(state->buffered - state->next);
    *consumed = state->consumed;
    uint64_t capacity = 1 << 16;
    auto* data = static_cast<uint8_t*>(MemoryAllocate(static_cast<size_t>(capacity + kPadding)));
    if (data == nullptr) return nullptr;
    if (fromStart) {
        SourceMoveTo(state->source, *resume - static_cast<uint64_t>(*consumed));
        state->buffered = state->next = 0;
        state->consumed = 0;
        state->endFlag = 0;
    }
    // The bit buffer holds whole bytes as read, less the bits used: its
    // real bits are the high ones of the last bytes read.
    const uint32_t real = fromStart ? 0 : ws->bitCount > ws->bitsMadeUp ? ws->bitCount - ws->bitsMadeUp : 0;
    const uint32_t whole = (real + 7) / 8;
    const uint32_t skip = whole * 8 - real;
    const uint64_t held = (static_cast<uint64_t>(ws->bitBuffer) & ((uint64_t{1} << real) - 1)) << skip;
    uint64_t n = 0;
    for (uint32_t i = 0; i < whole; ++i) data[n++] = static_cast<uint8_t>(held >> (8 * i));
    uint16_t slot = 0;
    while ((fromStart || !ws->bitsMadeUp) && n < kResyncInputLimit && ReadCompressedByte(state, &slot) != 0) {
        if (n == capacity) {
            auto* grown = static_cast<uint8_t*>(MemoryAllocate(static_cast<size_t>(capacity * 2 + kPadding)));
            if (grown == nullptr) break;
            std::memcpy(grown, data, n);
            MemoryFree(data);
            data = grown;
            capacity *= 2;
        }
        data[n++] = static_cast<uint8_t>(slot);
    }
    std::memset(data + n, 0, kPadding);
    *bits = n * 8;
    if (n > 0) *bits -= skip;
    // The decoder's own reading starts at the skip: the data block is
    // handed over with that offset kept in the first byte.
    return data;
}

// Decodes pieces from bit lostFrom on: a search for a proven block, then
// blocks with a window of unknown bytes until one fails or the last ends;
// again after every failure. The sink stands where the pieces go.
void DecodePieces(Resync& r, Bits& b, uint64_t lostFrom, Sink* sink) {
    DecodeState* state = sink->state;
    ResyncReport* report = sink->report;
    bool ended = false;
    while (!ended && !Halted(state)) {
        const uint64_t found = Search(r, b, lostFrom);
        if (found >= b.total) {
            AddResyncRange(report, kRangeLost, sink->output, (b.total - lostFrom + 7) / 8);
            break;
        }
        AddResyncRange(report, kRangeLost, sink->output, (found - lostFrom + 7) / 8);
        ++report->pieces;
        // A new piece: nothing before it is known.
        sink->filled = 0;
        b.pos = found;
        for (;;) {
            const uint64_t blockStart = b.pos;
            bool final = false;
            if (!RunBlock(r, b, &final, sink)) {
                lostFrom = blockStart + 1;
                break;
            }
            if (final) {
                ended = true;
                break;
            }
        }
        Flush(sink, sink->wp);
        sink->wp = 0;
    }
}

// Whether the careful decode's stream holds damage: it failed, or it ended
// with a CRC-32 other than the recorded ones, or (nothing to judge by) well
// before the end of the data with another size than the recorded one.
bool Damaged(const DecodeState* state, const DecodeWorkspace* ws, int ok) {
    if (!ok) return true;
    const ResyncReport* report = state->resync;
    if (report->crcCount > 0 && state->trackOutput && state->inOrder && state->produced == ws->outputPosition) {
        for (uint32_t i = 0; i < report->crcCount && i < 2; ++i)
            if (report->crc[i] == state->crc) return false;
        return true;
    }
    const int64_t used = state->consumed - (ws->bitCount >= ws->bitsMadeUp ? (ws->bitCount - ws->bitsMadeUp) / 8 : 0);
    return state->compressedSize - used > kEndOfDataAllowance && ws->outputPosition != state->uncompressedSize;
}

// Output bytes before the first sign of damage that are given up as well:
// damaged bits may decode as plausible symbols for a while before a copy
// betrays them (a few hundred bytes in practice).
constexpr uint64_t kDamageMargin = 16384;

// The longest stretch of unknown bytes a rebuild may put between the prefix
// and the tail (the margin, the rest of the damaged block and a few more),
// and the farthest a first sign of damage may stand before a failure of the
// careful decode and still be taken for its cause: this, or the margin and
// twice the longest block output before the sign, if more.
constexpr uint64_t kLongestFill = uint64_t{1} << 18;

// The buffers of the recovery that starts again from the entry's first bit.
struct Rebuild {
    uint32_t size;       // the format's window
    uint8_t* ring;       // 2 * size bytes, then 2 * size known flags: the first pass's window
    uint8_t* history;    // size bytes, then size known flags: the output before the prefix's end
    uint8_t* window;     // size bytes, then size known flags: the tail's window
    Code literal;        // the damaged block's codes
    Code distance;
};

// Loads the tail's window with the bytes before output offset `at`: the
// prefix's where they are known (offsets below `prefix`), unknown after.
void LoadHistory(const Rebuild& m, Sink* sink, uint64_t at, uint64_t prefix) {
    const uint32_t n = m.size;
    for (uint32_t i = 0; i < n; ++i) {
        const uint64_t offset = at - n + i;  // wraps for offsets before 0
        const bool inPrefix = at >= n - i && offset < prefix && offset + n >= prefix;
        const uint32_t h = static_cast<uint32_t>(offset + n - prefix);
        sink->window[i] = inPrefix ? m.history[h] : kResyncFill;
        sink->known[i] = inPrefix ? m.history[n + h] : 0;
    }
    sink->wp = 0;
    sink->filled = n;
    sink->output = at;
}

enum TailResult { kTailEnds, kTailFails, kTailSpent };

// Decodes from the block start `from` to the end of the stream without
// writing, the window either unknown or loaded (LoadHistory), copies
// checked. kTailEnds when the last block ends at the end of the data:
// *length is then the tail's output size; else *next is where the search
// for the next block starts (one bit after the block that failed).
TailResult TryTail(Resync& r, const Bits& all, uint64_t from, Sink* sink, uint64_t cap, uint64_t* length,
                   uint64_t* next) {
    Bits b = all;
    b.pos = from;
    const uint64_t start = sink->output + sink->wp;
    for (;;) {
        const uint64_t blockStart = b.pos;
        bool final = false;
        const bool ran = RunBlock(r, b, &final, sink);
        if (r.work + 64 > r.limit || Halted(sink->state)) return kTailSpent;
        const uint64_t produced = sink->output + sink->wp - start;
        if (!ran || produced > cap || (final && b.total - b.pos >= 8 * (kEndOfDataAllowance + 1))) {
            *next = blockStart + 1;
            return produced > cap ? kTailSpent : kTailFails;
        }
        if (final) {
            *length = produced;
            return kTailEnds;
        }
    }
}

// Output bytes of the damaged block's rest given up after its last sign of
// damage: damaged bits decoded as symbols may look sound for a while.
constexpr uint64_t kResumeMargin = 4096;
// How far after the point of damage, in bits, the rest of the damaged block
// may begin: past the longest bursts of damage met in practice.
constexpr uint64_t kResumeSearchBits = uint64_t{1} << 18;
// Bits after the point of damage where the rest is not yet believed, signs
// or none: damaged bits decoded with a window that is mostly unknown can
// show no sign for kilobytes, as copies into unknown bytes cannot be
// checked. Longer than the bursts of damage met in practice.
constexpr uint64_t kResumeSkip = uint64_t{1} << 16;
// Passes over the damaged block's rest that look for its last sign.
constexpr uint32_t kResumeRounds = 64;

// Where the rest of the damaged block is decoded from, and what it gives.
struct Resume {
    uint64_t bit;      // a symbol start in the damaged block
    uint64_t output;   // the output offset of its first byte
    const Code* literal;
    const Code* distance;
    bool hasDistances;
};

// One symbol of c's codes at b.pos, its extra bits included: 1 for a
// literal or a copy (its output size added to *out), 0 for the
// end-of-block code, -1 for a pattern no symbol takes or a code the format
// does not have. Its bits count as work.
int32_t Step(Resync& r, Bits& b, const Resume& c, uint64_t* out) {
    const uint64_t at = b.pos;
    const int32_t sym = DecodeSymbol(b, *c.literal);
    int32_t result = 1;
    if (sym < 0) {
        result = -1;
    } else if (sym == static_cast<int32_t>(kEndOfBlock)) {
        result = 0;
    } else if (sym < 256) {
        ++*out;
    } else {
        const Format& f = r.format;
        const uint32_t li = static_cast<uint32_t>(sym) - 257;
        if (li >= 29 || !c.hasDistances) return -1;
        *out += f.lengthBase[li] + b.Take(f.lengthExtra[li]);
        const int32_t d = DecodeSymbol(b, *c.distance);
        if (d < 0 || static_cast<uint32_t>(d) >= f.distanceCodes) return -1;
        b.Take(f.distanceExtra[d]);
    }
    r.work += b.pos - at;
    return result;
}

// Follows symbols from bit pos: true when they reach their end-of-block
// code ending exactly at bit end, with *produced their output size. Every
// symbol start passed is marked in seen (bit offsets from base); a walk
// that meets a marked one fails, as the walk that marked it did (walks stop
// at the first success). Decoding falls into step with itself within a few
// symbols, so walks from successive bits soon meet earlier ones and the
// whole search decodes each bit about once.
bool WalkToEnd(Resync& r, const Bits& all, uint64_t pos, uint64_t end, const Resume& c, uint8_t* seen,
               uint64_t base, uint64_t* produced) {
    Bits b = all;
    b.pos = pos;
    uint64_t out = 0;
    while (b.pos < end && r.work + 64 <= r.limit) {
        if (Marked(seen, b.pos - base)) return false;
        Mark(seen, b.pos - base);
        const int32_t step = Step(r, b, c, &out);
        if (step <= 0) {
            *produced = out;
            return step == 0 && b.pos == end;
        }
    }
    return false;
}

// Where the walks from every bit of [pos, pos + 64) all meet: the first
// symbol start they share, in *met. Any symbol, its extra bits included, is
// shorter than 64 bits, so a real symbol starts in that range when it lies
// past the damage, and the walk from there is among them: past the meeting
// point the symbols are the real ones, even where one walk alone ran out of
// step with them for long (in regular data a walk out of step can stay so,
// and its bytes look sound). Walks that fail or end early are dropped.
bool MeetingPoint(Resync& r, const Bits& all, uint64_t pos, uint64_t end, const Resume& c, uint64_t* met) {
    constexpr uint32_t kWalks = 64;
    uint64_t at[kWalks];
    uint32_t n = 0;
    for (uint32_t i = 0; i < kWalks && pos + i < end; ++i) at[n++] = pos + i;
    while (n > 1 && r.work + 64 <= r.limit) {
        uint32_t low = 0;
        for (uint32_t i = 1; i < n; ++i)
            if (at[i] < at[low]) low = i;
        Bits b = all;
        b.pos = at[low];
        uint64_t out = 0;
        const bool on = Step(r, b, c, &out) > 0 && b.pos < end;
        bool joined = false;
        for (uint32_t i = 0; i < n && on && !joined; ++i) joined = i != low && at[i] == b.pos;
        if (on && !joined) {
            at[low] = b.pos;
        } else {
            at[low] = at[--n];
        }
    }
    *met = at[0];
    return n == 1;
}

// The rest of the damaged block. The block that began at bit blockBit
// holds the damage (the first pass stopped in it at bit stopBit), and the
// tail begins at bit `from`, placed at output offset tailAt. Damaged bits
// decoded with the block's codes fall into step with the real symbols
// within a few symbols; from there the symbols decode to the block's
// end-of-block code at exactly `from`, and their output ends at tailAt, so
// its place is known and copies that reach back over the damage into the
// prefix give real bytes. That loses about what the damaged bits stood for
// instead of the rest of a block of up to some hundred kilobytes. False
// when there is no such rest (the damage took the block's end, or it is a
// stored block) or it would keep nothing.
bool ResumeInBlock(DecodeState* state, Resync& r, Rebuild& m, const Bits& all, uint64_t blockBit, uint64_t stopBit,
                   uint64_t from, uint64_t tailAt, uint64_t prefix, uint32_t longest, Resume* c) {
    Bits h = all;
    h.pos = blockBit;
    if (h.Take(1) != 0) return false;
    const uint32_t type = h.Take(2);
    if (type == 2) {
        if (!ReadDynamicHeader(r, h, &c->hasDistances)) return false;
        m.literal = r.literal;
        m.distance = r.distance;
        c->literal = &m.literal;
        c->distance = &m.distance;
    } else if (type == 1) {
        c->hasDistances = true;
        c->literal = &r.fixedLiteral;
        c->distance = &r.fixedDistance;
    } else {
        return false;
    }
    if (h.pos > stopBit || stopBit >= from) return false;
    // The first walk after the point of damage that ends at the tail.
    const size_t mapBytes = static_cast<size_t>((from - stopBit) / 8 + 1);
    auto* seen = static_cast<uint8_t*>(MemoryAllocate(mapBytes));
    if (seen == nullptr) return false;
    std::memset(seen, 0, mapBytes);
    const uint64_t last = std::min(from, stopBit + kResumeSearchBits);
    uint64_t produced = 0;
    bool found = false;
    for (c->bit = stopBit; c->bit < last && r.work + 64 <= r.limit; ++c->bit)
        if ((found = WalkToEnd(r, all, c->bit, from, *c, seen, stopBit, &produced))) break;
    MemoryFree(seen);
    if (!found || produced > tailAt - prefix) return false;
    c->output = tailAt - produced;
    // Where its signs of damage end. Decoded in place, copies checked
    // against the prefix and its own bytes: a sign means damaged bits'
    // symbols at or before it, so decoding starts again with the bytes up
    // to the sign taken for unknown, until none shows. (The last sign of
    // one pass would be too late: real copies of damaged bits' bytes make
    // signs far on.)
    uint64_t trust = c->output;
    for (uint32_t round = 0;; ++round) {
        if (round == kResumeRounds || trust >= tailAt) return false;
        Sink s{state, state->resync, m.size, 0, 0, 0, m.window, m.window + m.size};
        s.write = false;
        s.check = true;
        s.longest = longest;
        LoadHistory(m, &s, c->output, prefix);
        s.trustFrom = trust;
        Bits b = all;
        b.pos = c->bit;
        const bool ran = DecodeCodes(r, b, *c->literal, *c->distance, c->hasDistances, &s);
        if (ran) {
            if (b.pos != from) return false;
            break;
        }
        if (!s.anomaly) return false;
        trust = std::max(trust, s.output + s.wp) + 1;
    }
    // Past the margin after the last sign and kResumeSkip, where every walk
    // meets: from there the symbols are the real ones. The rest is decoded
    // from there.
    Bits b = all;
    b.pos = c->bit;
    uint64_t out = c->output;
    while ((out < trust + kResumeMargin || b.pos < stopBit + kResumeSkip) && b.pos < from)
        if (r.work + 64 > r.limit || Step(r, b, *c, &out) <= 0) return false;
    uint64_t met = 0;
    if (b.pos >= from || !MeetingPoint(r, all, b.pos, from, *c, &met)) return false;
    b.pos = met;
    out = 0;
    int32_t step = 1;
    while (step > 0 && b.pos < from && r.work + 64 <= r.limit) step = Step(r, b, *c, &out);
    if (step != 0 || b.pos != from) return false;
    c->bit = met;
    c->output = tailAt - out;
    return out > 0;
}

// The careful decode's output past `end` goes; the output check no longer
// describes the output.
int Finish(DecodeState* state, uint64_t end, uint64_t decoded) {
    if (state->outputFlag && end < decoded) {
        FileSeek(state->outputFile, end);
        FileTruncateHere(state->outputFile);
    }
    state->produced = end;
    state->inOrder = 0;
    return 0;
}

// Recovery that starts again from the entry's first bit (plain data held in
// memory, see ResumeAfterDamage). The first pass decodes as the careful
// decoder did, with copies checked, and stops at the first sign of damage
// (or where the decode failed); the prefix ends kDamageMargin bytes before
// a sign (at a failure, as the careful decoder left it). The tail is the
// first block after that point that proves itself and from which the
// stream decodes to its end with no sign of damage. Measured back from the
// recorded size, its length places it, so the stretch between is filled as
// unknown bytes of known number and its copies that reach back into the
// prefix give real bytes. The rest of the damaged block, past the damage,
// is placed before the tail the same way when it can be (ResumeInBlock).
// -1: nothing done (no sign of damage found, the
// work ran out, or no tail placed for a stream that decoded to its end);
// otherwise the decode's result, 0.
int RebuildFromStart(DecodeState* state, Resync& r, Rebuild& m, const Bits& all, uint64_t decoded,
                     bool decodedToEnd) {
    ResyncReport* report = state->resync;
    const uint32_t n = m.size;
    // The first pass.
    Sink first{state, report, 2 * n, 0, 0, 0, m.ring, m.ring + 2 * n};
    first.write = false;
    first.check = true;
    first.longest = n == kLargeWindowSize ? 257 : 258;
    Bits b = all;
    uint64_t largestBlock = 0;
    uint64_t blockBit = 0;  // where the block the pass stops in began
    for (;;) {
        const uint64_t blockFrom = first.output + first.wp;
        blockBit = b.pos;
        bool final = false;
        if (!RunBlock(r, b, &final, &first)) break;
        if (final || Halted(state)) return -1;
        largestBlock = std::max(largestBlock, first.output + first.wp - blockFrom);
    }
    if (r.work + 64 > r.limit) return -1;
    const uint64_t stop = first.output + first.wp;
    if (stop > decoded) return -1;
    // A decode that failed keeps what it decoded before the failure, as the
    // careful decoder does; a sign of damage costs the margin before it.
    // Either way, what comes after the prefix takes the margin's bytes for
    // unknown: damaged bits may have decoded as symbols up to the failure.
    const uint64_t trusted = stop > kDamageMargin ? stop - kDamageMargin : 0;
    const uint64_t prefix = first.anomaly ? trusted : stop;
    for (uint32_t i = 0; i < n; ++i) {
        const uint64_t offset = prefix - n + i;
        const bool known = prefix >= n - i && offset < trusted;
        const uint32_t at = static_cast<uint32_t>(offset - first.output) & (2 * n - 1);
        m.history[i] = known ? m.ring[at] : 0;
        m.history[n + i] = known ? 1 : 0;
    }
    // The tail: the search from the point of damage on.
    const uint64_t firstCandidate = b.pos + 1;
    const uint64_t cap = (state->uncompressedSize > decoded ? state->uncompressedSize : decoded) + n;
    uint64_t from = firstCandidate;
    uint64_t length = 0;
    bool found = false;
    Sink test{state, report, n, 0, 0, 0, m.window, m.window + n};
    test.write = false;
    test.check = true;
    test.longest = first.longest;
    for (;;) {
        from = Search(r, all, from);
        if (from >= all.total) break;
        test.wp = 0;
        test.filled = 0;
        test.output = 0;
        test.anomaly = false;
        uint64_t next = 0;
        const TailResult t = TryTail(r, all, from, &test, cap, &length, &next);
        if (t == kTailEnds) {
            found = true;
            break;
        }
        if (t == kTailSpent) break;
        from = next;
    }
    // Placed from the end when the recorded size leaves room for it, and its
    // copies into the prefix still show no sign of damage.
    const uint64_t size = state->uncompressedSize;
    bool placed = found && size >= prefix + length;
    if (placed && size - length - prefix < n) {
        LoadHistory(m, &test, size - length, prefix);
        test.anomaly = false;
        uint64_t again = 0, next = 0;
        placed = TryTail(r, all, from, &test, cap, &again, &next) == kTailEnds && again == length;
    }
    // A tail is placed only past a short stretch of unknown bytes. A long one
    // means either damage in many places (the tail starts after the last) or
    // a sign that was none: some encoders end a copy a byte early by choice,
    // all through their streams, so the first pass stops near the start and
    // only a short tail decodes free of signs. Without a tail, a stream that
    // decoded to its end is left as the careful decode made it, reported
    // corrupt, and one that failed far past the sign is searched from its
    // failure as before: either keeps more (nothing is written yet).
    const uint64_t longestFill = std::max(kLongestFill, kDamageMargin + 2 * largestBlock);
    placed = placed && size - length - prefix <= longestFill;
    if (!placed && (decodedToEnd || decoded - stop > longestFill)) return -1;
    // The rest of the damaged block before the tail, when the stream from
    // it to the end, its copies into the prefix included, shows no sign of
    // damage.
    Resume rest{};
    bool resumed = placed && ResumeInBlock(state, r, m, all, blockBit, firstCandidate - 1, from, size - length, prefix,
                                           first.longest, &rest);
    if (resumed) {
        Sink v{state, report, n, 0, 0, 0, m.window, m.window + n};
        v.write = false;
        v.check = true;
        v.longest = first.longest;
        LoadHistory(m, &v, rest.output, prefix);
        Bits b2 = all;
        b2.pos = rest.bit;
        uint64_t again = 0, next = 0;
        resumed = DecodeCodes(r, b2, *rest.literal, *rest.distance, rest.hasDistances, &v) && b2.pos == from &&
                  TryTail(r, all, from, &v, cap, &again, &next) == kTailEnds && again == length;
    }
    // Written: the prefix stays as the careful decode wrote it.
    report->prefix = prefix;
    if (prefix > 0) AddResyncRange(report, kRangeKnown, 0, prefix);
    Sink sink{state, report, n, 0, 0, prefix, m.window, m.window + n};
    if (placed) {
        const uint64_t fillEnd = resumed ? rest.output : size - length;
        std::memset(m.ring, kResyncFill, n);
        for (uint64_t at = prefix; at < fillEnd;) {
            const uint32_t count = static_cast<uint32_t>(fillEnd - at < n ? fillEnd - at : n);
            WriteDecoded(state, m.ring, at, count);
            at += count;
        }
        AddResyncRange(report, kRangeUnknown, prefix, fillEnd - prefix);
        report->unknown += fillEnd - prefix;
        report->recovered += fillEnd - prefix;
        LoadHistory(m, &sink, fillEnd, prefix);
        ++report->pieces;
        if (resumed) {
            Bits mid = all;
            mid.pos = rest.bit;
            DecodeCodes(r, mid, *rest.literal, *rest.distance, rest.hasDistances, &sink);
        }
        Bits tail = all;
        tail.pos = from;
        for (bool final = false; !final && !Halted(state);)
            if (!RunBlock(r, tail, &final, &sink)) break;
    } else {
        Bits pieces = all;
        DecodePieces(r, pieces, found ? from : firstCandidate, &sink);
    }
    Flush(&sink, sink.wp);
    return Finish(state, sink.output, decoded);
}
}  // namespace

int ResumeAfterDamage(DecodeState* state, DecodeWorkspace* ws, bool deflate64, int ok) {
    if (state->streamed || RunStopped(state->status) || state->inputCut) return ok;
    if (!Damaged(state, ws, ok)) return ok;
    ResyncReport* report = state->resync;
    const uint32_t windowSize = deflate64 ? kLargeWindowSize : kWindowSize;
    // Plain data is read again from its start, so that the damage is looked
    // for in what the careful decode took for good too; enciphered data
    // cannot be, and is searched from where its decode failed.
    const bool fromStart = !state->encrypted && !state->aesActive &&
                           state->compressedSize + kEndOfDataAllowance <= int64_t{kResyncInputLimit};
    uint64_t bits = 0, resume = 0;
    int64_t consumed = 0;
    const uint32_t endFlag = state->endFlag;
    const uint64_t decoded = ws->outputPosition;
    int result = -1;
    uint8_t* data = ReadRest(state, ws, &bits, &resume, &consumed, fromStart);
    auto* r = static_cast<Resync*>(MemoryAllocate(sizeof(Resync)));
    auto* window = static_cast<uint8_t*>(MemoryAllocate(2 * size_t{windowSize}));
    if (data != nullptr && r != nullptr && window != nullptr) {
        r->format = MakeFormat(deflate64);
        MakeFixedCodes(*r);
        r->work = 0;
        r->limit = report->workLeft;
        r->fixedFails = static_cast<uint8_t*>(MemoryAllocate(static_cast<size_t>(bits / 8 + 16)));
        if (r->fixedFails != nullptr) std::memset(r->fixedFails, 0, static_cast<size_t>(bits / 8 + 16));
        if (fromStart) {
            auto* m = static_cast<Rebuild*>(MemoryAllocate(sizeof(Rebuild)));
            auto* buffers = static_cast<uint8_t*>(MemoryAllocate(8 * size_t{windowSize}));
            if (m != nullptr && buffers != nullptr) {
                m->size = windowSize;
                m->ring = buffers;
                m->history = buffers + 4 * size_t{windowSize};
                m->window = buffers + 6 * size_t{windowSize};
                result = RebuildFromStart(state, *r, *m, Bits{data, bits, 0}, decoded, ok != 0);
            }
            MemoryFree(buffers);
            MemoryFree(m);
        }
        // Without a rebuild, as before: the search starts where the careful
        // decode failed (or its stream ended early).
        const int64_t used = consumed - (ws->bitCount >= ws->bitsMadeUp ? (ws->bitCount - ws->bitsMadeUp) / 8 : 0);
        const bool early = state->compressedSize - used > kEndOfDataAllowance && decoded != state->uncompressedSize;
        if (result < 0 && (!ok || early)) {
            if (fromStart) {
                MemoryFree(data);
                SourceMoveTo(state->source, resume);
                state->buffered = state->next = 0;
                state->consumed = consumed;
                data = ReadRest(state, ws, &bits, &resume, &consumed);
            }
            if (data != nullptr) {
                const uint32_t real = ws->bitCount > ws->bitsMadeUp ? ws->bitCount - ws->bitsMadeUp : 0;
                const uint64_t skip = (8 - real % 8) % 8;
                report->prefix = decoded;
                if (decoded > 0) AddResyncRange(report, kRangeKnown, 0, decoded);
                Sink sink{state, report, windowSize, 0, 0, decoded, window, window + windowSize};
                Bits b{data, bits + skip, skip};
                DecodePieces(*r, b, skip, &sink);
                result = report->pieces > 0 ? 0 : ok;
            }
        }
        report->workUsed = r->work;
        MemoryFree(r->fixedFails);
        report->workLeft -= r->work < report->workLeft ? r->work : report->workLeft;
    }
    MemoryFree(window);
    MemoryFree(r);
    MemoryFree(data);
    // The reader goes back where the careful decode left it.
    SourceMoveTo(state->source, resume);
    state->buffered = 0;
    state->next = 0;
    state->consumed = consumed;
    state->endFlag = endFlag;
    return result < 0 ? ok : result;
}

}  // namespace arcsalve
