// Verification ahead of the scan (see verify_ahead.h).
//
// Threading: one lock guards the ring of jobs, their states and the chain of
// predictions. A job's inputs are written before it is queued and its
// results before it is marked done, both with the lock taken around the
// state change, so a job is never touched by two threads at once; the only
// field read without the lock is its cancel flag, an atomic the byte source
// polls. The scan thread reads the archive through the run's handle, every
// worker through one of its own (FileOpenAgain): reads at an offset on one
// handle would move the offset the archive reader relies on.
#include "salvage/verify_ahead.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include "arcsalve/arcsalve.h"
#include "common/little_endian.h"
#include "common/zip_format.h"
#include "platform/platform.h"
#include "salvage/archive_reader.h"
#include "salvage/keep_intact.h"
#include "salvage/streamed_entry.h"

namespace arcsalve {
namespace {

constexpr uint32_t kMaxWorkers = 64;
// Jobs in flight per thread: enough that a worker never waits for the scan
// to predict, few enough that a wrong prediction wastes little.
constexpr uint32_t kJobsPerThread = 4;
constexpr uint32_t kSourceBufferSize = 64 * 1024;
// After a saved entry the scan looks again at the last 8 bytes its decode
// read (scan.cpp); the next header is looked for from there, this far.
constexpr uint64_t kRescanAfterEntry = 8;
constexpr uint32_t kSignatureWindow = 512;

// What a decoder asked of its byte source, one call after the other;
// identical calls in a row are counted rather than repeated.
enum OpKind : uint8_t { kOpRead, kOpStepBack, kOpMoveTo };
struct SourceOp {
    OpKind kind;
    int32_t count;    // read: bytes asked; step back: bytes
    int32_t got;      // read: bytes delivered
    uint64_t offset;  // move: the offset
    uint64_t repeat;
};
struct OpLog {
    SourceOp* ops;
    size_t used;
    size_t capacity;
    bool failed;  // out of memory: the log is incomplete and cannot be replayed
};

void FreeLog(OpLog& log) {
    std::free(log.ops);
    log = OpLog{};
}

void Record(OpLog& log, OpKind kind, int32_t count, int32_t got, uint64_t offset) {
    if (log.failed) return;
    if (log.used > 0) {
        SourceOp& last = log.ops[log.used - 1];
        if (last.kind == kind && last.count == count && last.got == got && last.offset == offset) {
            ++last.repeat;
            return;
        }
    }
    if (log.used == log.capacity) {
        const size_t capacity = log.capacity ? log.capacity * 2 : 16;
        void* grown = std::realloc(log.ops, capacity * sizeof(SourceOp));
        if (grown == nullptr) {
            log.failed = true;
            return;
        }
        log.ops = static_cast<SourceOp*>(grown);
        log.capacity = capacity;
    }
    log.ops[log.used++] = SourceOp{kind, count, got, offset, 1};
}

// A byte source over the archive read at offsets, behaving as the archive
// reader does towards a decoder (the same bytes, counts and positions), and
// recording the calls.
struct PositionalSource {
    FileHandle file;
    uint8_t* buffer;  // kSourceBufferSize bytes
    uint64_t bufferStart;
    uint32_t bufferLength;
    uint64_t position;
    OpLog* log;
    const std::atomic<uint32_t>* cancel;  // set: the input ends here
    uint64_t ops;                         // calls so far
    uint64_t stopAfter;                   // nonzero: raise stop->abortRequested after that call
    RunStatus* stop;
};

void Counted(PositionalSource& p) {
    if (++p.ops == p.stopAfter) p.stop->abortRequested = 1;
}

int32_t PositionalRead(void* reader, uint8_t* destination, int32_t count) {
    auto& p = *static_cast<PositionalSource*>(reader);
    int32_t done = 0;
    const bool cancelled = p.cancel != nullptr && p.cancel->load(std::memory_order_relaxed) != 0;
    while (!cancelled && done < count) {
        if (p.position < p.bufferStart || p.position >= p.bufferStart + p.bufferLength) {
            p.bufferStart = p.position;
            p.bufferLength = FileReadAt(p.file, p.position, p.buffer, kSourceBufferSize);
            if (p.bufferLength == 0) break;
        }
        const uint64_t available = p.bufferStart + p.bufferLength - p.position;
        const int32_t take =
            available < static_cast<uint64_t>(count - done) ? static_cast<int32_t>(available) : count - done;
        if (destination != nullptr) std::memcpy(destination + done, p.buffer + (p.position - p.bufferStart), take);
        done += take;
        p.position += static_cast<uint64_t>(take);
    }
    Record(*p.log, kOpRead, count, count <= 0 ? count : done, 0);
    Counted(p);
    return count <= 0 ? count : done;
}

void PositionalStepBack(void* reader, int32_t count) {
    auto& p = *static_cast<PositionalSource*>(reader);
    if (count > 0) p.position = p.position >= static_cast<uint64_t>(count) ? p.position - count : 0;
    Record(*p.log, kOpStepBack, count, 0, 0);
    Counted(p);
}

uint64_t PositionalPosition(void* reader) { return static_cast<PositionalSource*>(reader)->position; }

void PositionalMoveTo(void* reader, uint64_t offset) {
    auto& p = *static_cast<PositionalSource*>(reader);
    p.position = offset;
    Record(*p.log, kOpMoveTo, 0, 0, offset);
    Counted(p);
}

// KeepIfIntact's check decode, over a positional source.
int CheckDecode(PositionalSource& p, RunStatus* status, uint64_t decodedLimit, const uint8_t* header,
                DecodeOutcome* outcome) {
    DecodeContext context;
    context.source = ByteSource{&p, PositionalRead, PositionalStepBack, PositionalPosition, PositionalMoveTo};
    context.status = status;
    context.decodedLimit = decodedLimit;
    const char noPassword[kPasswordBufferSize] = {};
    return DecodeEntry(context, header, kNoFile, 0, noPassword, nullptr, outcome);
}

enum JobState : uint32_t { kQueued, kRunning, kDone };

struct Job {
    uint64_t headerOffset;  // of its signature
    uint64_t dataStart;
    uint8_t header[kLocalHeaderSize];  // as the salvage holds it: extra length 0
    JobState state;
    std::atomic<uint32_t> cancel;
    int decoded;
    DecodeOutcome outcome;
    OpLog log;
};

// An entry the chain of predictions reached.
struct Predicted {
    uint64_t headerOffset;
    uint64_t dataStart;
    uint8_t header[kLocalHeaderSize];
};

struct Worker {
    VerifyAhead* ahead;
    FileHandle file;  // its own handle to the archive
    uint8_t* buffer;
    ThreadHandle thread;
};

}  // namespace

struct VerifyAhead {
    const RepairRun* run;
    uint64_t decodedLimit;
    Lock* lock;
    Condition* changed;  // a job queued or done, or the end
    Job* jobs;           // a ring in scan order
    uint32_t capacity;
    uint32_t first;
    uint32_t count;
    bool ending;
    bool chainOpen;      // the chain can go on from `last`
    Predicted last;
    uint8_t* ownBuffer;  // the scan thread's, for the jobs it runs itself
    Worker workers[kMaxWorkers];
    uint32_t workerCount;
};

namespace {

Job& At(VerifyAhead& a, uint32_t index) { return a.jobs[(a.first + index) % a.capacity]; }

void RunJob(Job& job, FileHandle file, uint8_t* buffer, uint64_t decodedLimit) {
    PositionalSource p{};
    p.file = file;
    p.buffer = buffer;
    p.position = job.dataStart;
    p.log = &job.log;
    p.cancel = &job.cancel;
    RunStatus status{};
    job.outcome = DecodeOutcome{};
    job.decoded = CheckDecode(p, &status, decodedLimit, job.header, &job.outcome);
}

void WorkerMain(void* argument) {
    Worker& w = *static_cast<Worker*>(argument);
    VerifyAhead& a = *w.ahead;
    LockAcquire(a.lock);
    for (;;) {
        Job* job = nullptr;
        while (!a.ending && job == nullptr) {
            for (uint32_t i = 0; i < a.count && job == nullptr; ++i)
                if (At(a, i).state == kQueued) job = &At(a, i);
            if (job == nullptr) ConditionWait(a.changed, a.lock);
        }
        if (a.ending) break;
        job->state = kRunning;
        LockRelease(a.lock);
        RunJob(*job, w.file, w.buffer, a.decodedLimit);
        LockAcquire(a.lock);
        job->state = kDone;
        ConditionWakeAll(a.changed);
    }
    LockRelease(a.lock);
}

// With the lock: takes the first job out of the ring, cancelling it and
// waiting for its worker when it runs.
void DropFirst(VerifyAhead& a) {
    Job& job = At(a, 0);
    job.cancel.store(1, std::memory_order_relaxed);
    while (job.state == kRunning) ConditionWait(a.changed, a.lock);
    FreeLog(job.log);
    a.first = (a.first + 1) % a.capacity;
    --a.count;
}

// Whether the scan's check decode of this entry can be a job: an entry
// KeepIfIntact decodes with DecodeEntry.
bool Eligible(const RepairRun& run, const uint8_t header[kLocalHeaderSize]) {
    return MayKeepIntact(run, header) && !IsStreamedEntry(run, header);
}

// The entry whose signature stands at `at`, as the salvage will hold its
// header; false for one the chain does not follow (an empty name, ZIP64
// sizes, a name or extra field past the end).
bool ReadPredicted(const RepairRun& run, uint64_t at, Predicted* out) {
    uint8_t* header = out->header;
    if (FileReadAt(run.input, at, header, kLocalHeaderSize) != kLocalHeaderSize) return false;
    const uint16_t nameLength = LoadLE16(header + kLhNameLength);
    if (nameLength == 0 || LoadLE32(header + kLhCompressed) == kZip64Marker ||
        LoadLE32(header + kLhUncompressed) == kZip64Marker)
        return false;
    out->headerOffset = at;
    out->dataStart = at + kLocalHeaderSize + nameLength + LoadLE16(header + kLhExtraLength);
    StoreLE16(header + kLhExtraLength, 0);
    return out->dataStart <= run.inputSize;
}

// The entry the scan comes to after `from` when `from` is saved: the first
// signature from the end of its data, less the rescan allowance.
bool PredictNext(const RepairRun& run, const Predicted& from, Predicted* next) {
    // A streamed entry's end is known only once it is decoded.
    if (IsStreamedEntry(run, from.header)) return false;
    const uint64_t end = from.dataStart + LoadLE32(from.header + kLhCompressed);
    uint64_t at = end > kRescanAfterEntry ? end - kRescanAfterEntry : 0;
    if (at < from.headerOffset + 4) at = from.headerOffset + 4;
    uint8_t window[kSignatureWindow];
    const uint32_t got = FileReadAt(run.input, at, window, kSignatureWindow);
    for (uint32_t i = 0; i + 4 <= got; ++i)
        if (window[i] == 'P' && window[i + 1] == 'K' && window[i + 2] == 3 && window[i + 3] == 4)
            return ReadPredicted(run, at + i, next);
    return false;
}

// With the lock: lengthens the chain while there is room, and wakes the
// workers for what was queued.
void TopUp(VerifyAhead& a) {
    for (uint32_t steps = 0; a.chainOpen && a.count < a.capacity && steps < a.capacity; ++steps) {
        Predicted next;
        if (!PredictNext(*a.run, a.last, &next)) {
            a.chainOpen = false;
            break;
        }
        a.last = next;
        if (!Eligible(*a.run, next.header)) continue;
        Job& job = At(a, a.count);
        job.headerOffset = next.headerOffset;
        job.dataStart = next.dataStart;
        std::memcpy(job.header, next.header, kLocalHeaderSize);
        job.state = kQueued;
        job.cancel.store(0, std::memory_order_relaxed);
        job.decoded = 0;
        job.log = OpLog{};
        ++a.count;
    }
    ConditionWakeAll(a.changed);
}

// The scan needs only where the decode left the reader and the progress
// reports on the way, not the bytes again: the calls are passed, not redone
// (see PassBytes).
void Apply(ArchiveReader& r, const SourceOp& op) {
    switch (op.kind) {
        case kOpRead: PassBytes(r, op.got); break;
        case kOpStepBack: PassStepBack(r, op.count); break;
        case kOpMoveTo: PassMoveTo(r, op.offset); break;
    }
}

// The host asked to stop during the replay, after call `stoppedAt`: the
// decode would have gone on to its next look at the stop flag. It is run
// again with the stop raised after that call, and what it did after it is
// done on the reader too (progress reports included).
void FinishStoppedDecode(Salvage& s, VerifyAhead& a, const uint8_t* header, uint64_t dataStart,
                         uint64_t stoppedAt) {
    OpLog log{};
    RunStatus stop{};
    PositionalSource p{};
    p.file = s.run.input;
    p.buffer = a.ownBuffer;
    p.position = dataStart;
    p.log = &log;
    p.stopAfter = stoppedAt;
    p.stop = &stop;
    DecodeOutcome ignored{};
    CheckDecode(p, &stop, a.decodedLimit, header, &ignored);
    uint64_t call = 0;
    for (size_t i = 0; i < log.used; ++i)
        for (uint64_t n = 0; n < log.ops[i].repeat; ++n)
            if (++call > stoppedAt) Apply(s.reader, log.ops[i]);
    EndPassing(s.reader);
    FreeLog(log);
}

// Does on the archive reader what the decode did on its source.
void Replay(Salvage& s, VerifyAhead& a, const OpLog& log, const uint8_t* header, uint64_t dataStart) {
    uint64_t call = 0;
    for (size_t i = 0; i < log.used; ++i) {
        for (uint64_t n = 0; n < log.ops[i].repeat; ++n) {
            Apply(s.reader, log.ops[i]);
            ++call;
            if (s.run.status.abortRequested) {
                FinishStoppedDecode(s, a, header, dataStart, call);
                return;
            }
        }
    }
    EndPassing(s.reader);
}

void Release(VerifyAhead* a) {
    if (a->jobs != nullptr)
        for (uint32_t i = 0; i < a->capacity; ++i) FreeLog(a->jobs[i].log);
    delete[] a->jobs;
    LockDestroy(a->lock);
    ConditionDestroy(a->changed);
    std::free(a->ownBuffer);
    delete a;
}

}  // namespace

void StartVerifyAhead(Salvage& s) {
    s.ahead = nullptr;
    const RepairRun& run = s.run;
    if (run.workers <= 1 || (run.flags & REPAIR_KEEP_INTACT) == 0 || !IsOpenFile(run.input)) return;
    auto* a = new (std::nothrow) VerifyAhead();
    if (a == nullptr) return;
    a->run = &run;
    a->decodedLimit = run.limits.decodedSize;
    const uint32_t threads = (run.workers < kMaxWorkers ? run.workers : kMaxWorkers) - 1;
    a->capacity = (threads + 1) * kJobsPerThread;
    a->jobs = new (std::nothrow) Job[a->capacity]();
    a->lock = LockCreate();
    a->changed = ConditionCreate();
    a->ownBuffer = static_cast<uint8_t*>(std::malloc(kSourceBufferSize));
    if (a->jobs == nullptr || a->lock == nullptr || a->changed == nullptr || a->ownBuffer == nullptr) {
        Release(a);
        return;
    }
    while (a->workerCount < threads) {
        Worker& w = a->workers[a->workerCount];
        w.ahead = a;
        w.file = FileOpenAgain(run.input);
        w.buffer = static_cast<uint8_t*>(std::malloc(kSourceBufferSize));
        w.thread = IsOpenFile(w.file) && w.buffer != nullptr ? ThreadStart(WorkerMain, &w) : 0;
        if (w.thread == 0) {
            if (IsOpenFile(w.file)) FileClose(w.file);
            std::free(w.buffer);
            break;
        }
        ++a->workerCount;
    }
    if (a->workerCount == 0) {
        Release(a);
        return;
    }
    s.ahead = a;
}

void StopVerifyAhead(Salvage& s) {
    VerifyAhead* a = s.ahead;
    if (a == nullptr) return;
    s.ahead = nullptr;
    LockAcquire(a->lock);
    a->ending = true;
    for (uint32_t i = 0; i < a->count; ++i) At(*a, i).cancel.store(1, std::memory_order_relaxed);
    ConditionWakeAll(a->changed);
    LockRelease(a->lock);
    for (uint32_t i = 0; i < a->workerCount; ++i) {
        ThreadJoin(a->workers[i].thread);
        FileClose(a->workers[i].file);
        std::free(a->workers[i].buffer);
    }
    Release(a);
}

bool TakeVerifiedDecode(Salvage& s, const uint8_t header[kLocalHeaderSize], uint64_t dataStart, int* decoded,
                        DecodeOutcome* outcome) {
    // With a stop asked for or a write failed, the decode gives up at once:
    // it is left to do so here.
    // Sizes from a ZIP64 block reach the decode beside the header: such an
    // entry is never a job (the chain does not follow ZIP64 headers).
    if (s.ahead == nullptr || RunStopped(&s.run.status) || s.largeCompressed != 0 || s.largeUncompressed != 0)
        return false;
    VerifyAhead& a = *s.ahead;
    // An entry found through its central directory record stands where the
    // record says; any other right before the signature just read.
    const uint64_t at = s.throughDirectory ? s.listedAt : MarkedPosition(s.reader) - 4;
    LockAcquire(a.lock);
    // Signatures come to the scan in increasing order: jobs before this one
    // were passed by.
    while (a.count > 0 && At(a, 0).headerOffset < at) DropFirst(a);
    if (a.count == 0 || At(a, 0).headerOffset != at || At(a, 0).dataStart != dataStart ||
        std::memcmp(At(a, 0).header, header, kLocalHeaderSize) != 0) {
        // Not predicted: the chain went astray. It starts again from here.
        while (a.count > 0) DropFirst(a);
        a.last.headerOffset = at;
        a.last.dataStart = dataStart;
        std::memcpy(a.last.header, header, kLocalHeaderSize);
        a.chainOpen = true;
        TopUp(a);
        LockRelease(a.lock);
        return false;
    }
    TopUp(a);
    Job& job = At(a, 0);
    if (job.state == kQueued) {
        // No worker has taken it yet: the scan has nothing better to do.
        job.state = kRunning;
        LockRelease(a.lock);
        RunJob(job, s.run.input, a.ownBuffer, a.decodedLimit);
        LockAcquire(a.lock);
        job.state = kDone;
    }
    while (job.state == kRunning) ConditionWait(a.changed, a.lock);
    const bool usable = job.decoded != 0 && !job.log.failed;
    *decoded = job.decoded;
    *outcome = job.outcome;
    OpLog log = job.log;
    job.log = OpLog{};
    a.first = (a.first + 1) % a.capacity;
    --a.count;
    LockRelease(a.lock);
    // A failed decode is done again here: damaged entries take the path
    // they always took, whatever a worker made of them.
    if (usable) Replay(s, a, log, header, dataStart);
    FreeLog(log);
    return usable;
}

}  // namespace arcsalve
