// The decoding frame: builds one entry's DecodeState, starts decryption,
// dispatches on the compression method, and holds the byte source and the
// output routines that every decoder shares.
#include "decode/decode_frame.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "common/crc32.h"
#include "common/little_endian.h"
#include "common/zip_format.h"
#include "crypt/cipher.h"
#include "decode/decoders.h"

namespace arcsalve {
namespace {

constexpr uint64_t kLargestSize = uint64_t{1} << 56;

// The compressed size the decoders see: the header's, an unsigned 32-bit
// number (a stored entry of 3 GB is 3 GB of data), or the larger one of its
// ZIP64 block, less the 12 encryption-header bytes when encrypted; an
// encrypted entry shorter than its encryption header has a negative length
// and delivers no data.
// A ZIP64 size is taken up to kLargestSize: no file holds more, and the
// decoders may count its bits (8 times the size) in 64 signed bits.
int64_t DataLength(const DecodeContext& context, const uint8_t header[30], bool encrypted) {
    int64_t size = context.largeCompressed > 0 ? static_cast<int64_t>(std::min(context.largeCompressed, kLargestSize))
                                               : int64_t{LoadLE32(header + kLhCompressed)};
    if (encrypted) size -= kEncryptionHeaderSize;
    return size;
}

// Which outside libraries the build found (set by CMake).
#ifdef ARCSALVE_WITH_BZIP2
constexpr bool kWithBzip2 = true;
#else
constexpr bool kWithBzip2 = false;
#endif
#ifdef ARCSALVE_WITH_LZMA
constexpr bool kWithLzma = true;
#else
constexpr bool kWithLzma = false;
#endif
#ifdef ARCSALVE_WITH_XZ
constexpr bool kWithXz = true;
#else
constexpr bool kWithXz = false;
#endif
#ifdef ARCSALVE_WITH_ZSTD
constexpr bool kWithZstd = true;
#else
constexpr bool kWithZstd = false;
#endif

// Method table. A method without a decoder fails: the salvage copies such
// entries as they are instead of decoding them (HasDecoder).
int Dispatch(DecodeState* state, uint16_t method, uint16_t flags) {
    switch (method) {
#ifdef ARCSALVE_WITH_BZIP2
        case kMethodBzip2: return Bunzip2(state);
#endif
#ifdef ARCSALVE_WITH_LZMA
        case kMethodLzma: return UnLzma(state, flags);
#endif
#ifdef ARCSALVE_WITH_XZ
        case kMethodXz: return UnXz(state);
#endif
#ifdef ARCSALVE_WITH_ZSTD
        case kMethodZstd: return UnZstd(state);
#endif
        case kMethodStored: return CopyStored(state) ? 1 : 0;
        case kMethodShrunk: return Unshrink(state) ? 1 : 0;
        case kMethodReduced1:
        case kMethodReduced1 + 1:
        case kMethodReduced1 + 2:
        case kMethodReduced4: return Unreduce(state, method - kMethodReduced1 + 1) ? 1 : 0;
        case kMethodImploded: return Explode(state, flags) ? 1 : 0;
        case kMethodDeflated: return Inflate(state) ? 1 : 0;
        case kMethodDeflate64: return InflateDeflate64(state) ? 1 : 0;
        default: return 0;
    }
}

// Builds the entry's state (nullptr when there is no memory for it).
DecodeState* NewState(const DecodeContext& context, const uint8_t header[30], FileHandle outputFile,
                      int encrypted, const char password[40], const uint8_t encHeader[12],
                      DecodeOutcome* outcome) {
    DecodeState* state = static_cast<DecodeState*>(MemoryAllocate(sizeof(DecodeState)));
    if (state == nullptr) return nullptr;
    std::memset(state, 0, offsetof(DecodeState, input));
    state->source = context.source;
    state->status = context.status;
    state->decodedLimit = context.decodedLimit;
    state->resync = context.resync;
    state->outputFlag = outputFile == kNoFile ? 0 : 1;
    state->outputFile = outputFile;
    // Recovery past damage judges a stream that ends well by its CRC-32.
    state->trackOutput = outcome != nullptr || context.resync != nullptr ? 1 : 0;
    state->inOrder = 1;
    state->uncompressedSize = context.largeUncompressed > 0 ? std::min(context.largeUncompressed, kLargestSize)
                                                            : LoadLE32(header + kLhUncompressed);
    state->encrypted = encrypted ? 1 : 0;
    state->compressedSize = DataLength(context, header, state->encrypted != 0);
    // The caller's block is copied whole; its last byte is forced to NUL so
    // that a password that fills all 40 bytes can never run the key schedule
    // off the end of the copy.
    std::memcpy(state->password, password, sizeof state->password);
    state->password[sizeof state->password - 1] = '\0';
    // The password was accepted before the entry got here, so the header's
    // check byte is not examined again.
    if (state->encrypted) StartDecryption(&state->keys, state->password, encHeader);
    if (context.aes != nullptr) {
        // The salt and verification value were read before; the
        // authentication code follows the data.
        state->compressedSize = DataLength(context, header, false) - AesOverhead(context.aes->strength);
        state->aesDataStart = SourcePosition(state->source);
        if (!AesStart(&state->aes, state->password, *context.aes)) {
            MemoryFree(state);
            return nullptr;
        }
        state->aesActive = 1;
        state->aesMethod = context.aes->method;
    }
    return state;
}

// After a successful decode of an AES entry: the data the decoder left
// unread enters the authentication code too, which is then compared with
// the stored one. The source is put back where it stood. 1 on a match.
uint32_t Authenticate(DecodeState* state) {
    const uint64_t resume = SourcePosition(state->source) - static_cast<uint64_t>(state->buffered - state->next);
    state->buffered = 0;
    state->next = 0;
    SourceMoveTo(state->source, state->aesDataStart + static_cast<uint64_t>(state->aesTaken));
    uint8_t piece[kInputChunk];
    bool whole = true;
    for (int64_t left = state->compressedSize - state->aesTaken; left > 0 && whole;) {
        const int32_t want = left < kInputChunk ? static_cast<int32_t>(left) : kInputChunk;
        const int32_t got = SourceRead(state->source, piece, want);
        whole = got == want && AesAuthenticateOnly(&state->aes, piece, static_cast<size_t>(got));
        left -= want;
    }
    uint32_t matched = 0;
    if (whole && state->compressedSize >= 0 && SourceRead(state->source, piece, kAesCodeSize) == kAesCodeSize)
        matched = AesCodeMatches(&state->aes, piece) ? 1 : 0;
    SourceMoveTo(state->source, resume);
    return matched;
}

uint16_t MethodOf(const DecodeState* state, const uint8_t header[30]) {
    return state->aesActive ? state->aesMethod : LoadLE16(header + kLhMethod);
}

// Ends the decoder's input where it stands: the bytes read ahead go back to
// the archive reader, and the byte source delivers nothing more.
void EndInput(DecodeState* state) {
    if (state->next < state->buffered) SourceStepBack(state->source, state->buffered - state->next);
    state->buffered = 0;
    state->next = 0;
    state->endFlag = 1;
    state->inputCut = 1;
}

// A streamed entry's byte source stops short of 4 GiB: it records no size
// that could vouch for more output than kMaxDecodedSize. Deflated data
// longer than that is salvaged as a damaged prefix. A header that declares
// ZIP64 sizes vouches for any length: its data runs to the input's end.
constexpr int64_t kStreamedInputLimit = int64_t{kMaxDecodedSize} - 1024;

int64_t StreamedInputLimit(const DecodeState* state) {
    return state->wideSizes ? INT64_MAX : kStreamedInputLimit;
}

void Describe(const DecodeState* state, DecodeOutcome* outcome) {
    outcome->crc = state->crc;
    outcome->inOrder = state->inOrder;
    outcome->produced = state->produced;
    outcome->streamLength = state->consumed - state->unusedInput;
}

// After a streamed entry's decode, the input the byte source holds unread
// and the whole bytes the decoder took but did not use go back to the
// archive reader, which then stands right after the last byte used.
void ReturnUnusedInput(DecodeState* state) {
    int64_t unused = int64_t{state->buffered} - state->next + state->unusedInput;
    state->buffered = 0;
    state->next = 0;
    if (unused > 0) SourceStepBack(state->source, static_cast<int32_t>(unused));
}

}  // namespace

bool HasDecoder(uint16_t method) {
    switch (method) {
        case kMethodStored:
        case kMethodShrunk:
        case kMethodReduced1:
        case kMethodReduced1 + 1:
        case kMethodReduced1 + 2:
        case kMethodReduced4:
        case kMethodImploded:
        case kMethodDeflated:
        case kMethodDeflate64: return true;
        case kMethodBzip2: return kWithBzip2;
        case kMethodLzma: return kWithLzma;
        case kMethodXz: return kWithXz;
        case kMethodZstd: return kWithZstd;
        default: return false;
    }
}

bool EndsByItself(uint16_t method, uint16_t flags) {
    switch (method) {
        case kMethodDeflated:
        case kMethodDeflate64:
        case kMethodBzip2:
        case kMethodXz:
        case kMethodZstd: return HasDecoder(method);
        case kMethodLzma: return HasDecoder(method) && (flags & kFlagLzmaEndMarker) != 0;
        default: return false;
    }
}

int DecodeEntry(const DecodeContext& context, const uint8_t header[30], FileHandle outputFile,
                int encrypted, const char password[40], const uint8_t encHeader[12], DecodeOutcome* outcome) {
    DecodeState* state = NewState(context, header, outputFile, encrypted, password, encHeader, outcome);
    if (state == nullptr) return 0;
    int result = Dispatch(state, MethodOf(state, header), LoadLE16(header + kLhFlags));
    if (outcome != nullptr) Describe(state, outcome);
    if (state->aesActive) {
        if (result && outcome != nullptr && !RunStopped(state->status)) outcome->authenticated = Authenticate(state);
        AesEnd(&state->aes);
    }
    // Compressed bytes are read ahead in chunks; those the decoder never took
    // go back to the archive reader, so that the scan goes on right after
    // the data that was decoded. Otherwise a compressed size that claims
    // more than the stream holds would hide the entries in the rest of the
    // chunk.
    if (state->next < state->buffered) SourceStepBack(state->source, state->buffered - state->next);
    MemoryFree(state);
    return result;
}

int DecodeStreamedEntry(const DecodeContext& context, const uint8_t header[30], FileHandle outputFile,
                        int encrypted, const char password[40], const uint8_t encHeader[12],
                        StreamedData* search, DecodeOutcome* outcome) {
    DecodeState* state = NewState(context, header, outputFile, encrypted, password, encHeader, outcome);
    if (state == nullptr) return 0;
    const uint16_t method = MethodOf(state, header);
    const uint64_t start = SourcePosition(state->source);
    if (context.wideSizes) {
        state->wideSizes = 1;
        state->decodedLimit = UINT64_MAX;
    }
    int result;
    if (method == kMethodStored) {
        state->streamed = 1;
        state->search = search;
        result = CopyStoredStreamed(state);
    } else if (EndsByItself(method, LoadLE16(header + kLhFlags))) {
        state->streamed = 1;
        result = Dispatch(state, method, LoadLE16(header + kLhFlags));
        ReturnUnusedInput(state);
    } else {
        result = Dispatch(state, method, LoadLE16(header + kLhFlags));
    }
    if (outcome != nullptr) {
        Describe(state, outcome);
        if (state->streamed) outcome->streamLength = static_cast<int64_t>(SourcePosition(state->source) - start);
    }
    if (state->aesActive) AesEnd(&state->aes);
    MemoryFree(state);
    return result;
}

// The byte source. A decoder receives the compressed size's bytes, then up to
// kEndOfDataAllowance more from whatever follows the entry, one archive
// read each, so that a bit buffer may read ahead of the last code. Chunks are
// read with SourceRead: when the archive ends inside a chunk, the bytes that
// did arrive are still delivered, and the end is reported at the next refill.
//
// A streamed entry has no recorded size: its source runs in whole chunks to
// the end of the input, and whatever the decoder does not use is given back
// afterwards (ReturnUnusedInput).
int ReadCompressedByteSlow(DecodeState* state, uint16_t* slot) {
    if (state->inputCut) return 0;
    const int64_t limit = state->streamed ? StreamedInputLimit(state)
                                          : state->compressedSize + kEndOfDataAllowance;
    if (state->consumed >= limit) {
        state->endFlag = 1;
        return 0;
    }
    uint8_t byte;
    if (state->next < state->buffered) {
        byte = state->input[state->next++];
    } else {
        int64_t want = state->streamed ? kInputChunk : state->compressedSize - state->consumed;
        if (want > kInputChunk) want = kInputChunk;
        if (want < 1) want = 1;
        int32_t got = SourceRead(state->source, state->input, static_cast<int32_t>(want));
        if (got < want) state->shortRead = 1;
        if (got <= 0) {
            state->buffered = 0;
            state->next = 0;
            state->endFlag = 1;
            *slot = 0;
            return 0;
        }
        state->buffered = got;
        state->next = 1;
        // AES data is deciphered a chunk at a time (the keystream does not
        // depend on the plain bytes), so the decoders take it through the
        // fast path. The bytes past the data, the authentication code, are
        // delivered as they stand.
        if (state->aesActive && state->consumed < state->compressedSize) {
            if (!AesDecrypt(&state->aes, state->input, static_cast<size_t>(got))) {
                state->buffered = 0;
                state->next = 0;
                state->endFlag = 1;
                return 0;
            }
            state->aesTaken += got;
        }
        byte = state->input[0];
    }
    // Bytes are decrypted as they are delivered, never while they wait in the
    // buffer: the cipher's keys advance with every plain byte.
    if (state->encrypted) byte = DecryptByte(&state->keys, byte);
    *slot = byte;
    ++state->consumed;
    return 8;
}

void TopUpPlainInput(DecodeState* state) {
    if (state->encrypted || state->aesActive || state->inputCut || state->endFlag || state->shortRead) return;
    const int32_t waiting = state->buffered - state->next;
    const int64_t limit = state->streamed ? StreamedInputLimit(state) : state->compressedSize;
    int64_t want = limit - state->consumed - waiting;
    if (want > kInputChunk - waiting) want = kInputChunk - waiting;
    if (want <= 0) return;
    std::memmove(state->input, state->input + state->next, static_cast<size_t>(waiting));
    state->next = 0;
    state->buffered = waiting;
    const int32_t got = SourceRead(state->source, state->input + waiting, static_cast<int32_t>(want));
    if (got < want) state->shortRead = 1;
    if (got > 0) state->buffered += got;
}

int32_t ReadCompressedBlock(DecodeState* state, uint8_t* destination, int32_t count) {
    const int64_t limit = state->streamed ? StreamedInputLimit(state) : state->compressedSize;
    const int64_t left = limit - state->consumed;
    if (state->inputCut || left <= 0 || count <= 0) {
        state->endFlag = 1;
        return 0;
    }
    if (count > left) count = static_cast<int32_t>(left);
    // Bytes a byte-wise read left in the buffer come first; the rest is read
    // straight into the destination.
    int32_t got = state->buffered - state->next;
    if (got > count) got = count;
    if (got > 0) std::memcpy(destination, state->input + state->next, static_cast<size_t>(got));
    state->next += got;
    if (got < count) {
        const int32_t more = SourceRead(state->source, destination + got, count - got);
        if (more > 0) {
            // Read past the buffer, AES data is deciphered here as the
            // byte-wise reader deciphers its chunks; the keystream and the
            // authentication code run on in the same order.
            const int64_t inData = state->aesActive ? state->compressedSize - state->consumed - got : 0;
            const int32_t cipher = inData < more ? static_cast<int32_t>(inData > 0 ? inData : 0) : more;
            if (cipher > 0 && !AesDecrypt(&state->aes, destination + got, static_cast<size_t>(cipher))) {
                state->endFlag = 1;
                return 0;
            }
            state->aesTaken += cipher;
            got += more;
        }
    }
    if (got == 0) {
        state->endFlag = 1;
        return 0;
    }
    if (state->encrypted)
        for (int32_t i = 0; i < got; ++i) destination[i] = DecryptByte(&state->keys, destination[i]);
    state->consumed += got;
    return got;
}

// The output check runs over the bytes as they pass, so that learning the
// CRC-32 of an entry's data costs no second pass over it. Every decoder
// writes its output front to back; anything else voids the check.
//
// No more than the context's decodedLimit bytes of an entry are saved
// (4 GiB - 2, or the larger size a ZIP64 block recorded). Output beyond that
// is dropped and the decoder's input is cut off, so that a stream which
// expands without end (a decompression bomb) stops there instead of filling
// the disk.
void WriteDecoded(DecodeState* state, const uint8_t* buffer, uint64_t offset, uint32_t count) {
    const uint64_t limit = state->decodedLimit;
    if (offset + count > limit) {
        count = offset < limit ? static_cast<uint32_t>(limit - offset) : 0;
        EndInput(state);
    }
    if (count == 0) return;
    if (state->trackOutput && state->inOrder) {
        if (offset == state->produced) {
            state->crc = Crc32Update(state->crc, buffer, count);
            state->produced += count;
        } else {
            state->inOrder = 0;
        }
    }
    if (!state->outputFlag) return;
    FileSeek(state->outputFile, offset);
    if (FileWrite(state->outputFile, buffer, count) != count) state->status->writeFailed = 1;
}

void TakeBackOutput(DecodeState* state, const OutputMark& mark) {
    state->produced = mark.produced;
    state->crc = mark.crc;
    state->inOrder = mark.inOrder;
    if (state->outputFlag && !(FileSeek(state->outputFile, mark.offset) && FileTruncateHere(state->outputFile)))
        state->status->writeFailed = 1;
}

void FlushWindow(DecodeWorkspace* workspace, uint32_t count) {
    WriteDecoded(workspace->owner, workspace->window, workspace->outputPosition, count);
    workspace->outputPosition += count;
}

}  // namespace arcsalve
