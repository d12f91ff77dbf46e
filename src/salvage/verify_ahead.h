// Verification ahead of the scan, on every core (RepairRun::workers > 1).
//
// Keeping an intact entry costs one decode that only checks its output; in
// an archive of intact entries that decode is nearly all the work. While the
// scan handles one entry, worker threads already decode the entries it will
// come to: from each entry whose compressed size the header gives, the next
// local header is predicted where the scan would look for it after that
// entry's data (less the rescan allowance), up to a bounded number of jobs
// in flight. A job reads the archive positionally through a handle of its
// own and records what its decoder asked of the byte source.
//
// A job's result is a pure function of the archive, the data's offset and
// the header the decode is given: nothing in the decoders depends on the
// run. So the scan itself stays exactly as it is. When its own check decode
// of an entry comes due (KeepIfIntact), it asks for the job of that header
// and data offset; with one that decoded the data, the recorded reads are
// replayed on the archive reader, so that the progress reports, the host's
// chance to stop and the reader's position are those of the decode itself,
// and the outcome is taken as if the decode had run there. Everything else
// (the copy, the messages, the entry reports, damaged entries, which are
// always decoded again on the scan's own thread) happens as it would in a
// single-threaded run, in scan order. A prediction that went wrong costs
// only the wasted jobs: they are cancelled and the chain starts again from
// the entry in hand.
#ifndef ARCSALVE_SALVAGE_VERIFY_AHEAD_H
#define ARCSALVE_SALVAGE_VERIFY_AHEAD_H

#include <cstdint>

#include "decode/decode_frame.h"
#include "salvage/salvage_entry.h"

namespace arcsalve {

// Starts run.workers - 1 threads beside the scan's own (which decodes a job
// itself when it gets to one no worker has taken); s.ahead stays null when
// the run has one worker, keeps no intact entries, or no thread starts.
void StartVerifyAhead(Salvage& s);
// Cancels the jobs in flight, waits for the threads and frees everything.
void StopVerifyAhead(Salvage& s);

// The verification for the life of one scan.
struct VerifyAheadScope {
    Salvage& s;
    explicit VerifyAheadScope(Salvage& salvage) : s(salvage) { StartVerifyAhead(s); }
    ~VerifyAheadScope() { StopVerifyAhead(s); }
};

// KeepIfIntact's check decode of the entry whose signature the scan just
// read, with the reader at dataStart and `header` as the decode is given it:
// true when it was served from a job (*decoded and *outcome filled, the
// reader moved as the decode would have moved it, the progress reported);
// false when the scan must decode the entry itself (nothing moved).
bool TakeVerifiedDecode(Salvage& s, const uint8_t header[kLocalHeaderSize], uint64_t dataStart, int* decoded,
                        DecodeOutcome* outcome);

}  // namespace arcsalve

#endif  // ARCSALVE_SALVAGE_VERIFY_AHEAD_H
