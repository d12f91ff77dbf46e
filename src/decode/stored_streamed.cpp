// Stored entries whose sizes follow the data (general-purpose bit 3, sizes 0
// in the local header): the data has no recorded length, so its end must be
// found. It is the first place where a data descriptor proves itself and is
// confirmed: its compressed size equals the distance from the data's start
// (the encryption header counts), its CRC-32 equals that of the bytes before
// it (decrypted), and what follows it is a record (a local header, central
// directory or end record) or the end of the input. Bytes inside the data
// that merely look like a descriptor, a "PK", 7, 8 or a local header, fail
// one test or another and do not end it. The confirmation matters most at
// the data's very start: data beginning with 12 zero bytes reads as a
// descriptor of no bytes whose CRC-32 (0) fits, and would end the entry
// empty. A descriptor that proves itself but is not confirmed (damage may
// have hit the record after it) ends the data only when no confirmed one is
// found, and never when it would leave the entry empty.
//
// The search is one pass: every byte is looked at once as a possible
// descriptor start (a comparison of the size field with the distance, which
// almost always fails at once), then taken as data: decrypted, staged and
// written out. The CRC-32 of the staged bytes is brought up to date only when
// a descriptor's size fits, so a search costs about as much as a copy, and
// any number of false signatures costs one CRC-32 pass over the data at most.
//
// When no descriptor proves itself before the input ends, the entry is
// damaged (cut short, or its descriptor or data hit): it keeps the bytes up to
// the first local header inside the data whose header validates, or all of
// them when there is none, and the decode reports a failure. A descriptor
// whose size fits and that ends exactly there is taken as the entry's own,
// damaged data's descriptor: the data ends before it and its CRC-32 judges it.
#include <algorithm>
#include <cstring>

#include "common/crc32.h"
#include "common/data_descriptor.h"
#include "common/little_endian.h"
#include "common/zip_format.h"
#include "crypt/cipher.h"
#include "decode/decode_frame.h"
#include "decode/decoders.h"
#include "decode/stored.h"
#include "platform/platform.h"

namespace arcsalve {
namespace {

// Input is searched in runs of this many bytes.
constexpr int32_t kSearchRun = 16384;
// Every byte is examined with this many bytes after it in view, while the
// input lasts: the longest descriptor (24 bytes) and the record after it (a
// local header's fixed part, 30 bytes, of which the name length decides
// whether it validates).
constexpr int32_t kLookahead = kLongestDescriptor + kRecordLookahead;
// A streamed entry records no size that could vouch for more, so it decodes
// to at most kMaxDecodedSize bytes like any other: longer data counts as
// damaged and keeps its first bytes. One whose header declares ZIP64 sizes
// has no such limit.
constexpr uint64_t kMaxStreamedData = 0xFFFFFFFFu - kCopyBufferSize;

// A descriptor whose size fits but whose CRC-32 does not.
struct Candidate {
    bool seen;
    uint64_t distance;  // where it starts, from the data's start
    int32_t length;
};

struct Search {
    DecodeState* state;
    uint8_t* input;        // kSearchRun + kLookahead raw bytes
    int32_t have;          // valid bytes in input
    int32_t at;            // next byte to examine
    bool inputEnded;       // the last read came back short
    uint8_t* staged;       // plain bytes not yet written
    int32_t pending;       // staged bytes
    uint64_t written;      // plain bytes written; the next write's offset
    uint32_t crc;          // CRC-32 of the plain bytes up to staged[crcDone]
    int32_t crcDone;
    uint64_t distance;     // from the data's start to input[at]
    // The search's findings.
    uint64_t headerBytes;  // the encryption header's bytes, counted in distances
    uint64_t allowance;    // bytes it may read past the first validating header
    uint64_t maxData;      // the longest data it takes
    bool proven;           // a descriptor proved itself: the data ends at it
    bool stopped;          // abort or write failure
    bool headerSeen;       // a validating local header inside the data
    uint64_t headerDistance;
    Candidate last;          // the last descriptor whose size fits but CRC-32 does not
    Candidate beforeHeader;  // `last` as it was at the validating header
    Candidate unconfirmed;   // the first descriptor that proved itself unconfirmed
};

// Moves what is left in view to the front and reads the next run behind it.
void Refill(Search* s) {
    int32_t left = s->have - s->at;
    std::memmove(s->input, s->input + s->at, static_cast<size_t>(left));
    s->have = left;
    s->at = 0;
    int32_t got = SourceRead(s->state->source, s->input + left, kSearchRun);
    if (got < kSearchRun) s->inputEnded = true;
    if (got > 0) s->have += got;
}

uint32_t CurrentCrc(Search* s) {
    s->crc = Crc32Update(s->crc, s->staged + s->crcDone, static_cast<size_t>(s->pending - s->crcDone));
    s->crcDone = s->pending;
    return s->crc;
}

void Flush(Search* s) {
    CurrentCrc(s);
    WriteDecoded(s->state, s->staged, s->written, static_cast<uint32_t>(s->pending));
    s->written += static_cast<uint64_t>(s->pending);
    s->pending = 0;
    s->crcDone = 0;
}

// A cheap first test of the bytes at b (left of them in view): could a
// descriptor whose compressed size is `distance` start here? Its size field
// must hold the distance's low 32 bits, after a signature or without one.
inline bool SizeFieldFits(const uint8_t* b, int32_t left, uint32_t distance) {
    if (left >= kShortestDescriptor && LoadLE32(b + 4) == distance) return true;
    return left >= kShortestDescriptor + 4 && LoadLE32(b + 8) == distance &&
           std::memcmp(b, kDescriptorSignature, 4) == 0;
}

// A local header signature whose header would be accepted: the whole fixed
// part is there and the name is not empty.
inline bool ValidatingHeader(const uint8_t* b, int32_t left) {
    if (left < kLocalHeaderSize || b[0] != 'P' || b[1] != 'K' || b[2] != 3 || b[3] != 4) return false;
    return LoadLE16(b + kLhNameLength) != 0;
}

// Tests whether a descriptor starts at b (left bytes of it in view) and
// proves itself: true when it ends the data. One whose size fits but whose
// CRC-32 does not, or that proves itself unconfirmed, is kept as a candidate.
inline bool DescriptorEndsData(Search* s, const uint8_t* b, int32_t left) {
    if (!SizeFieldFits(b, left, static_cast<uint32_t>(s->distance))) return false;
    DataDescriptor d;
    const int match = MatchConfirmedDescriptor(b, static_cast<size_t>(left), s->distance,
                                               s->distance - s->headerBytes, s->inputEnded, &d);
    if (!match) return false;
    if (d.crc != CurrentCrc(s)) {
        s->last = Candidate{true, s->distance, d.length};
        return false;
    }
    if (match == 2) return true;
    if (!s->unconfirmed.seen && s->distance > s->headerBytes)
        s->unconfirmed = Candidate{true, s->distance, d.length};
    return false;
}

// Notes the first validating local header inside the data; false once the
// search has read as far past it as its allowance lets it.
inline bool WithinAllowance(Search* s, const uint8_t* b, int32_t left) {
    if (s->headerSeen) return s->distance - s->headerDistance < s->allowance;
    if (ValidatingHeader(b, left)) {
        s->headerSeen = true;
        s->headerDistance = s->distance;
        s->beforeHeader = s->last;
    }
    return true;
}

// Takes the byte as data: decrypted, staged, and written out with a full
// buffer. False when a write failed.
inline bool TakeData(Search* s, uint8_t b) {
    DecodeState* state = s->state;
    s->staged[s->pending++] = state->encrypted ? DecryptByte(&state->keys, b) : b;
    ++s->distance;
    if (s->pending < static_cast<int32_t>(kCopyBufferSize)) return true;
    Flush(s);
    return !state->status->writeFailed;
}

// The one pass: every byte is examined as a possible descriptor start and as
// a local header, then taken as data, until a descriptor proves itself, the
// input ends, the allowance or the size limit runs out, or the run stops.
void SearchAndCopy(Search* s) {
    const RunStatus* status = s->state->status;
    while (!s->proven) {
        if (s->have - s->at < kLookahead && !s->inputEnded) {
            Refill(s);
            if (status->abortRequested) {
                s->stopped = true;
                return;
            }
        }
        if (s->at == s->have) return;  // the input has ended
        // Bytes examined in this pass have the whole lookahead in view, or
        // are the input's last ones.
        const int32_t stop = s->inputEnded ? s->have : s->have - kLookahead + 1;
        for (; s->at < stop; ++s->at) {
            const uint8_t* b = s->input + s->at;
            const int32_t left = s->have - s->at;
            if (DescriptorEndsData(s, b, left)) {
                s->proven = true;
                break;
            }
            if (!WithinAllowance(s, b, left) || s->distance >= s->maxData) break;
            if (!TakeData(s, *b)) break;
        }
        if (status->writeFailed) {
            s->stopped = true;
            return;
        }
        if (s->at < stop && !s->proven) return;  // the allowance or the size limit ran out
    }
}

// Where the data ends, from its start (encryption header included), and
// whether that end was found (1) or guessed (0): at a proven descriptor; at
// the first one that proved itself unconfirmed; else at the first validating
// header (or the input's end), moved back before a descriptor whose size
// fits and that ends exactly there.
uint64_t DataEnd(const Search& s, int* complete) {
    *complete = 1;
    if (s.proven) return s.distance;
    if (s.unconfirmed.seen) return s.unconfirmed.distance;
    const Candidate& c = s.headerSeen ? s.beforeHeader : s.last;
    const uint64_t end = s.headerSeen ? s.headerDistance : s.distance;
    if (c.seen && c.distance + static_cast<uint64_t>(c.length) == end) return c.distance;
    *complete = 0;
    return end;
}

}  // namespace

int CopyStoredStreamed(DecodeState* state) {
    // The encryption header was read before the decode started; it counts in
    // the descriptor's compressed size but not in the plain bytes.
    const uint64_t headerBytes = state->encrypted ? kEncryptionHeaderSize : 0;
    const uint64_t start = SourcePosition(state->source) - headerBytes;

    Search s{};
    s.state = state;
    s.input = static_cast<uint8_t*>(MemoryAllocate(kSearchRun + kLookahead));
    s.staged = static_cast<uint8_t*>(MemoryAllocate(kCopyBufferSize));
    if (s.input == nullptr || s.staged == nullptr) {
        MemoryFree(s.input);
        MemoryFree(s.staged);
        return 0;
    }
    s.distance = headerBytes;
    s.headerBytes = headerBytes;
    s.allowance = state->search ? state->search->searchAllowance : UINT64_MAX;
    s.maxData = state->wideSizes ? UINT64_MAX : kMaxStreamedData;

    SearchAndCopy(&s);
    if (!s.stopped && s.pending > 0) Flush(&s);
    if (state->search != nullptr)
        state->search->searchBeyond = s.headerSeen ? s.distance - s.headerDistance : 0;
    MemoryFree(s.input);
    MemoryFree(s.staged);
    if (s.stopped || state->status->writeFailed || state->status->abortRequested) return 0;

    int complete;
    const uint64_t end = DataEnd(s, &complete);
    if (end < s.distance) {
        // Bytes were handed on that turned out not to be data: the output
        // loses them again, and its running check no longer applies (the
        // count still does: the plain bytes end where the data ends).
        state->inOrder = 0;
        if (state->produced > end - headerBytes) state->produced = end - headerBytes;
        if (state->outputFlag) {
            FileSeek(state->outputFile, end - headerBytes);
            FileTruncateHere(state->outputFile);
        }
    }
    SourceMoveTo(state->source, start + end);
    return complete;
}

}  // namespace arcsalve
