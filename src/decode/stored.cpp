// Stored entries (method 0): the entry's data bytes, decrypted when the entry
// is encrypted, are copied to the temporary file unchanged. They are staged
// in a copy buffer of the decode's own and written in pieces of 1000 bytes
// at offsets 0, 1000, 2000 ...; the last piece holds the rest.
#include <algorithm>
#include <cstring>

#include "decode/decode_frame.h"
#include "decode/decoders.h"
#include "decode/stored.h"

namespace arcsalve {

// Copies the first compressed-size bytes of the entry's data; the header's
// uncompressed size is not consulted (the entry salvage compares the sizes
// afterwards), and the byte source's allowance past the data is never asked
// for. Returns 1 when every byte was copied, 0 on abort, a short write, or
// an archive that ends inside the data.
//
// When the archive ends early, the bytes already staged (up to 999 of them)
// are written too: everything that was read is salvaged, and the temporary
// file does not end at an arbitrary multiple of 1000 bytes.
int CopyStored(DecodeState* state) {
    BlockPtr<uint8_t> staged = AllocBlockOf<uint8_t>(kCopyBufferSize);
    if (!staged) return 0;
    uint8_t* const buffer = staged.get();
    int32_t pending = 0;   // staged, not yet written
    uint64_t written = 0;  // written; the offset of the next piece
    int64_t taken = 0;     // taken from the byte source
    bool ended = false;    // the archive ended inside the data
    while (taken < state->compressedSize) {
        if (state->status->abortRequested) return 0;
        if (pending >= kCopyPiece) {
            WriteDecoded(state, buffer, written, kCopyPiece);
            written += kCopyPiece;
            pending = 0;
            if (state->status->writeFailed) break;
        }
        // Plain bytes already in the source's buffer are taken as one run: the
        // same bytes ReadCompressedByte would deliver one by one, and nothing
        // in between can raise the abort flag (only archive reads report
        // progress).
        int32_t run = static_cast<int32_t>(std::min<int64_t>(
            {kCopyPiece - pending, PlainInputBuffered(state), state->compressedSize - taken}));
        if (run > 0) {
            std::memcpy(buffer + pending, PlainInput(state), static_cast<size_t>(run));
            TakePlainInput(state, run);
            pending += run;
            taken += run;
            continue;
        }
        uint16_t slot;
        if (ReadCompressedByte(state, &slot) == 0) {
            ended = true;
            break;
        }
        buffer[pending++] = static_cast<uint8_t>(slot);
        ++taken;
    }
    if (!state->status->abortRequested && !state->status->writeFailed && pending > 0)
        WriteDecoded(state, buffer, written, static_cast<uint32_t>(pending));
    if (ended || state->status->writeFailed || state->status->abortRequested) return 0;
    return 1;
}

}  // namespace arcsalve
