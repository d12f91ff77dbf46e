// The decoding frame: what every decoder shares. Decoders read compressed
// bytes only through ReadCompressedByte and write plain bytes only through
// WriteDecoded / FlushWindow, at explicit offsets of the temporary file.
#ifndef ARCSALVE_DECODE_DECODE_FRAME_H
#define ARCSALVE_DECODE_DECODE_FRAME_H

#include <cstddef>
#include <cstdint>
#include <memory>

#include "common/byte_source.h"
#include "common/run_status.h"
#include "common/zip_format.h"
#include "crypt/aes_zip.h"
#include "crypt/cipher.h"
#include "platform/platform.h"

namespace arcsalve {

// Compressed data is read from the archive in chunks of up to 8 KiB: few
// enough reads that their cost vanishes beside the decoding.
constexpr int32_t kInputChunk = 8192;
// A decoder may read this many bytes past the end of the compressed data, one
// archive read at a time: its bit buffer reads ahead of the last code.
constexpr int32_t kEndOfDataAllowance = 10;
// The sliding window of inflate, explode and unshrink: deflate's largest
// distance is 32768. Deflate64 reaches 65536 bytes back.
constexpr uint32_t kWindowSize = 32768;
constexpr uint32_t kLargeWindowSize = 65536;

// What a decode works with besides the entry: where its compressed bytes come
// from, the run's status (a stop or a failed write ends the decode; a short
// write raises writeFailed), and the most plain bytes it may produce.
// An AES-encrypted entry comes with its salt and verification value (aes),
// which the source stands after; its data is then deciphered with the
// password, decoded with aes->method and authenticated.
struct DecodeContext {
    ByteSource source;
    RunStatus* status;
    uint64_t decodedLimit = kMaxDecodedSize;
    const AesPrefix* aes = nullptr;
    // The entry's recorded sizes where its header's 32-bit fields cannot
    // hold them (a ZIP64 block gave larger ones); 0: the header's own.
    uint64_t largeCompressed = 0;
    uint64_t largeUncompressed = 0;
    // The header declares sizes that may need 64 bits (ZIP64): data whose
    // length follows it in a descriptor (DecodeStreamedEntry) is then
    // decoded past 4 GiB, with no limit but its own end.
    bool wideSizes = false;
    // Deflated data: recovery past damage (inflate_resync.h) when set; what
    // it recovered is told there.
    struct ResyncReport* resync = nullptr;
};

// The results of the decoders' steps: one vocabulary for the whole layer.
// A step that is not kDecodeOk ends the decode (the table builder's
// kDecodeIncompleteCode excepted, where the decoder accepts such a code),
// and the result says why.
enum DecodeResult : int {
    kDecodeOk = 0,
    kDecodeIncompleteCode,  // a Huffman code with spare patterns; its table was built
    kDecodeBadCode,         // an over-subscribed code, or a symbol beyond the value lists
    kDecodeBadData,         // an invalid symbol, block type or code-length list, or input used up
    kDecodeNoMemory,
    kDecodeCountOff,        // the stream ended far from the end of the compressed data
};

// Whether the table builder made a table: for a complete code or an
// incomplete one.
inline bool TableBuilt(DecodeResult r) { return r == kDecodeOk || r == kDecodeIncompleteCode; }

// One entry's decoding state, owned by DecodeEntry.
struct DecodeState {
    ByteSource source;          // the compressed bytes
    RunStatus* status;          // the run's stop and write-failure flags
    uint64_t decodedLimit;      // the most plain bytes it may produce
    uint32_t outputFlag;        // 1: write plain bytes; 0: only count them
    FileHandle outputFile;      // the temporary file
    int32_t buffered;           // valid bytes in input
    int32_t next;               // index of the next byte to deliver
    int64_t consumed;           // bytes delivered for this entry
    uint64_t uncompressedSize;  // from the local header (or its ZIP64 block)
    int64_t compressedSize;     // from the local header (unsigned, or its ZIP64 block), less 12 when encrypted
    uint32_t encrypted;         // 1 when the entry is encrypted
    CipherKeys keys;            // the entry's cipher keys
    char password[40];          // copy of the caller's password block
    uint32_t endFlag;           // 1 once ReadCompressedByte failed to deliver
    uint32_t inputCut;          // 1 once the output reached decodedLimit: no more input
    uint32_t shortRead;         // 1 once a read brought less than asked: no more topping up
    // 1: the decoders' careful paths alone, none of the shortcuts that must
    // agree with them (a check of those; see fuzz/fuzz_inflate.cpp).
    uint32_t carefulOnly;
    // 1: the decoders' code for any processor of the target, where a variant
    // built for newer instructions would run (a check that the two agree).
    uint32_t baselineCode;
    // Whole bytes the decoder took from the source but left unused behind the
    // end of its stream (inflate's bit buffer reads ahead of the last code):
    // the stream fills the first consumed - unusedInput bytes of the data.
    int32_t unusedInput;
    // Output check, kept only when trackOutput is 1: the CRC-32 of the plain
    // bytes produced so far, written or not, and their count. Bytes handed
    // over anywhere but right behind the last ones clear inOrder: crc then
    // describes nothing.
    uint32_t trackOutput;
    uint32_t inOrder;
    uint32_t crc;
    uint64_t produced;
    // AES: the decryption, whether it runs, where the data starts and how
    // many of its bytes entered the authentication code so far.
    uint32_t aesActive;
    uint16_t aesMethod;
    uint64_t aesDataStart;
    int64_t aesTaken;
    AesDecryptor aes;
    // Entries whose sizes follow the data (DecodeStreamedEntry); 0 otherwise.
    uint32_t streamed;          // 1: no recorded length; the data runs to its descriptor
    uint32_t wideSizes;         // a streamed entry whose data and output may pass 4 GiB
    struct StreamedData* search;  // the stored copy's descriptor search budget
    struct ResyncReport* resync;  // from the context; null: no recovery past damage
    // Last, so that a new state clears everything but this.
    uint8_t input[kInputChunk]; // compressed bytes last read, still enciphered
};

// What DecodeEntry tells a caller that asks for it: enough to decide, without
// reading the output again, whether the entry came out as recorded.
struct DecodeOutcome {
    uint32_t crc;           // CRC-32 of the plain bytes, in order
    uint32_t inOrder;       // 1 when crc and produced describe the output
    uint64_t produced;      // plain bytes produced
    int64_t streamLength;   // compressed bytes the decoder's stream occupies
    uint32_t authenticated; // AES: 1 when the decode succeeded and the authentication code matched
};

// An entry whose local header leaves the sizes at 0 and whose data is
// followed by a data descriptor. The stored copy searches the data for the
// descriptor that ends it (stored_streamed.cpp); to keep a run of damaged
// entries from searching the same input again and again, the salvage gives
// it an allowance for reading past the first local header found inside the
// data, and learns back how much of it was used.
struct StreamedData {
    uint64_t searchAllowance;  // in: bytes the search may read past that header
    uint64_t searchBeyond;     // out: bytes it did read past it
};

// The work area of the window decoders (inflate, explode, unshrink), one
// block per decoder call.
struct DecodeWorkspace {
    DecodeState* owner;
    // Unshrink's fields (unused by the others).
    uint32_t codeSize;          // bits per code, 9 to 13
    uint32_t codeLimit;         // number of dictionary codes, 8192
    uint32_t nextFreeCode;      // lowest free code at or above 257, or 8192
    uint16_t* prefixTable;      // 8194 entries; 0xFFFF marks a free code
    uint8_t* suffixTable;       // 8194 entries
    uint8_t* stringStack;       // 8194 bytes, filled backwards from 8191
    // Shared by all three.
    uint64_t outputPosition;    // plain bytes already flushed
    uint32_t windowPosition;    // next free window byte
    // Inflate's bit reader between blocks (see BitReader).
    uint32_t bitBuffer;
    uint32_t bitCount;
    uint32_t bitsMadeUp;
    uint8_t window[kWindowSize];  // explode's and unshrink's (inflate has its own)
};

// Decodes one entry's data into outputFile from offset 0. header is the
// 30-byte local header as read (for AES its compressed size covers salt,
// verification value and authentication code, and its method is ignored
// for context.aes->method); password is a 40-byte block; encHeader the 12
// enciphered bytes before the data (read only when encrypted). Returns 1 when
// the method's decoder succeeded, 0 on failure or abort. With outcome, the
// output is checked on the way and described there; with outputFile kNoFile
// as well, nothing is written (output flag 0): the decode only checks.
int DecodeEntry(const DecodeContext& context, const uint8_t header[30], FileHandle outputFile,
                int encrypted, const char password[40], const uint8_t encHeader[12],
                DecodeOutcome* outcome = nullptr);

// DecodeEntry for an entry with a trailing data descriptor (flag bit 3,
// compressed size 0 in the header), stored or deflated (or Deflate64); other methods are
// decoded as DecodeEntry does. The archive reader stands at the first data
// byte (after the encryption header when encrypted). Deflated data is read up
// to the end of the input instead of a recorded size; when the stream ends,
// the input read beyond its last bit is given back, so the reader stands
// right after the compressed data. Stored data ends where a descriptor proves
// itself (see CopyStoredStreamed). Returns 1 when the data's end was found
// (the reader then stands there), 0 on damage, abort or write failure.
// With outcome, the output is checked as DecodeEntry does; its streamLength
// is then the data's length from the reader's position at the start.
int DecodeStreamedEntry(const DecodeContext& context, const uint8_t header[30], FileHandle outputFile,
                        int encrypted, const char password[40], const uint8_t encHeader[12],
                        StreamedData* search, DecodeOutcome* outcome = nullptr);

// The next byte of the entry's data into *slot (zero-extended): 8 when one
// was delivered, 0 when none (end flag set). See decode_frame.cpp for the
// 10-byte allowance past the compressed size.
inline int ReadCompressedByte(DecodeState* state, uint16_t* slot);
// ReadCompressedByte's rare path: refills the input buffer, decrypts, and
// enforces the allowance. Decoders call ReadCompressedByte, never this.
int ReadCompressedByteSlow(DecodeState* state, uint16_t* slot);

// Up to count bytes of the entry's data into destination, decrypted, for the
// decoders of outside libraries, which take their input in blocks: never
// past the compressed size (their streams end by themselves, so they need no
// allowance), or for a streamed entry the end of the input. Returns how many
// were delivered; 0 at the end (end flag set).
int32_t ReadCompressedBlock(DecodeState* state, uint8_t* destination, int32_t count);

// Whether this build decodes the method: the classic ones (0 to 6, 8) always,
// those of outside libraries when the library was found at build time.
// Tokenized data (7) never had a decoder.
bool HasDecoder(uint16_t method);

// Whether this build decodes the method and its stream marks its own end, so
// that data whose size follows it in a descriptor can be decoded to its end
// (DecodeStreamedEntry): deflate, Deflate64, bzip2, xz, Zstandard (one
// frame), and LZMA with its end marker (flag bit 1).
bool EndsByItself(uint16_t method, uint16_t flags);

// Hands count plain bytes to the output at an absolute offset: the output
// check sees them, and when the output flag is set they are written to the
// output file (a short write raises the run's writeFailed).
void WriteDecoded(DecodeState* state, const uint8_t* buffer, uint64_t offset, uint32_t count);

// Where the output stood before a decoder handed over bytes it may have to
// take back: a bzip2 block's output comes before its CRC is checked.
struct OutputMark {
    uint64_t offset;  // the output's end
    uint64_t produced;
    uint32_t crc;
    uint32_t inOrder;
};
inline OutputMark MarkOutput(const DecodeState* state, uint64_t offset) {
    return OutputMark{offset, state->produced, state->crc, state->inOrder};
}
// Takes back every byte handed over since the mark: the output check is as
// it was then, and the output file is cut at the mark's offset (a failure
// to cut raises writeFailed).
void TakeBackOutput(DecodeState* state, const OutputMark& mark);

// Hands the first count window bytes to WriteDecoded at the output position
// and advances the output position.
void FlushWindow(DecodeWorkspace* workspace, uint32_t count);

// Fast path, inlined into every decoder's bit reader: a plain byte is
// buffered. Bytes in the buffer never pass the allowance (a refill asks for no
// more than what is left of the compressed size, or one byte), so only the
// refill needs the limit test.
inline int ReadCompressedByte(DecodeState* state, uint16_t* slot) {
    if (state->next < state->buffered && !state->encrypted) {
        *slot = state->input[state->next++];
        ++state->consumed;
        return 8;
    }
    return ReadCompressedByteSlow(state, slot);
}

// Bulk access for a decoder's fast loop: the bytes waiting in the input
// buffer that ReadCompressedByte would deliver next, one by one, unchanged.
// Encrypted bytes are deciphered only as they are delivered, so an encrypted
// entry offers none. Every byte offered lies within the allowance (see
// ReadCompressedByte), so taking them all never reads where the byte-wise
// path would not.
inline int32_t PlainInputBuffered(const DecodeState* state) {
    return state->encrypted ? 0 : state->buffered - state->next;
}
inline const uint8_t* PlainInput(const DecodeState* state) { return state->input + state->next; }
// Moves the offered bytes to the front of the buffer and reads more behind
// them, up to a chunk, so that a fast loop near the end of the buffer can go
// on: never past the compressed size (the allowance beyond it is read a byte
// at a time, as ever), never for enciphered data, and no more once a read
// brought less than it asked (the input's end, or a source that hands out
// little at a time). The bytes delivered are the same, in the same order;
// only the byte source sees other reads.
void TopUpPlainInput(DecodeState* state);
// Takes n of the offered bytes, as n ReadCompressedByte calls would.
inline void TakePlainInput(DecodeState* state, int32_t n) {
    state->next += n;
    state->consumed += n;
}

// Working memory from MemoryAllocate, released on every path out of a decoder.
struct BlockDeleter {
    void operator()(void* block) const { MemoryFree(block); }
};
template <typename T>
using BlockPtr = std::unique_ptr<T, BlockDeleter>;

template <typename T>
BlockPtr<T> AllocBlockOf(size_t bytes) {
    return BlockPtr<T>(static_cast<T*>(MemoryAllocate(bytes)));
}

}  // namespace arcsalve

#endif  // ARCSALVE_DECODE_DECODE_FRAME_H
