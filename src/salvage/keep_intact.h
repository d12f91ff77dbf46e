// Intact entries kept as they are (REPAIR_KEEP_INTACT): an entry in a method
// current readers open (stored, deflated, Deflate64, bzip2, LZMA, xz, Zstandard) whose
// data decodes completely to its recorded size and CRC-32 was
// never damaged, so its original compressed data goes into the rebuilt
// archive unchanged, with its original method, instead of being compressed
// anew. That is faster than any re-compression and keeps the archiver's own
// (often better) compression; only the header is rewritten, like every saved
// entry's.
//
// The check costs no pass of its own: the decoder computes the CRC-32 as its
// output goes by, and writes that output nowhere. Only an entry that fails
// the check is decoded a second time, into the temporary file, for the
// classic salvage; in the archives people repair that is the rare one, and a
// repair of intact entries so skips the temporary file altogether (measured
// on 16,450 real files: a quarter less time than decoding into it).
#ifndef ARCSALVE_SALVAGE_KEEP_INTACT_H
#define ARCSALVE_SALVAGE_KEEP_INTACT_H

#include <cstdint>

#include "common/zip_format.h"
#include "decode/decode_frame.h"
#include "salvage/salvage_entry.h"

namespace arcsalve {

// True when the repair keeps intact entries and this one could be kept: not
// encrypted (the rebuilt archive holds no decrypted data), in a method that
// current readers open and this build decodes (a legacy method always
// becomes one any reader can open).
bool MayKeepIntact(const RepairRun& run, const uint8_t header[kLocalHeaderSize]);

// KeepIfIntact's result when the entry is not kept and nothing was done.
constexpr int kNotIntact = -1;

// Salvages an entry that MayKeepIntact allows, with the archive reader at its
// data, if it proves intact: one decode that checks the output without
// writing it anywhere, then the entry's local header (BeginEntryData) and the
// copy of the original data. Returns 1 when the entry was kept (its header
// copy then holds its sizes and CRC-32, the method stays, and its line was
// reported); 0 when it must be dropped (the
// host asked to stop, without a message; a write failed, reported);
// kNotIntact with the reader back at the data, for the entry's classic
// salvage. `shown` is the name as messages show it.
int KeepIfIntact(Salvage& s, SalvageEntry& entry, const char* shown);

// What the entry salvage knows about an entry's data once it is decoded.
struct IntactCheck {
    int decoded;           // DecodeEntry's result
    DecodeOutcome outcome; // what the decode checked on the way
    uint64_t recordedSize; // the uncompressed size the archive recorded
    uint32_t recordedCrc;  // the CRC-32 the archive recorded
    bool crcKnown;         // false when the record holds no CRC-32 to compare
};

// True when the decode proved the data intact: decoded completely, front to
// back, to exactly the recorded size and CRC-32.
bool ProvedIntact(const IntactCheck& check);

// Salvages an entry whose method this build cannot decode, with the archive
// reader at its data (encryption header included): when the extent of its
// data is known (its header's compressed size, with bit 3 the CRC-32 from a
// descriptor where that size ends) and the archive holds all of it, the data
// is copied into the rebuilt archive as it was, reported as unverified and
// counted; the header copy keeps its method, sizes and CRC-32, and the
// reader moves past the data. Otherwise it is reported as unrecoverable.
// Returns 1 when the entry was copied, 0 when it must be dropped. Whether the
// repair keeps intact entries or not: the rebuilt archive cannot compress
// anew what it cannot decode, and an empty entry would lose the data.
int CopyAsItWas(Salvage& s, SalvageEntry& entry, const char* shown);

// Copies the entry's original compressed data, the `length` bytes of the
// damaged archive from `offset`, to the rebuilt archive at its current
// offset. The reads are positional: the archive reader stays where it
// stands. Returns 1 on success. On failure the rebuilt archive is cut back
// to where the copy began; a short write has raised the run's writeFailed, a short
// read (the archive changed under us) has not.
int CopyOriginalData(RepairRun& run, uint64_t offset, uint64_t length);

// Writes the data descriptor that follows a copied entry whose flag bit 3
// stays: signature, CRC-32 (its header copy's) and its two sizes, 8 bytes
// each when its local header has the ZIP64 block. False after a failed
// write, which raises the run's writeFailed.
bool WriteDescriptorOf(RepairRun& run, const SalvageEntry& entry);

}  // namespace arcsalve

#endif  // ARCSALVE_SALVAGE_KEEP_INTACT_H
