// Verification ahead of the scan (see verify_ahead.h).
//
// Threading: one lock guards the ring's length and the jobs' states. Only
// the scan thread adds jobs to the ring or takes them out, and only it
// follows the chain of predictions, so it reads the ring's bounds and fills
// the free slots (which no worker looks at) without the lock, taking it only
// to publish them. A job's inputs are written before it is queued and its
// results before it is marked done, both with the lock taken around the
// state change, so a job is never touched by two threads at once; the only
// field read without the lock is its cancel flag, an atomic the byte source
// polls. The hand-off is kept off the system's way: the lock is never held
// across a read of the archive, a worker is woken only when it sleeps and
// jobs were queued, the scan only when it sleeps and a job is done, the
// ring is topped up in batches, a worker takes the small entries that
// follow each other in one read, the predictions read the archive in
// windows that hold many small entries' headers, and the scan, rather than
// sleep while a worker decodes the entry it came to, decodes one further
// on. The scan thread reads the archive through the run's handle, every
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
// Jobs in flight per thread, and their compressed bytes. The workers must
// not run out of jobs while the scan is busy elsewhere: decoding a large
// entry itself, or copying one, it falls hundreds of small entries behind
// them, and a full ring of jobs done but not yet taken stops them as surely
// as an empty one. Queued jobs cost only their prediction; jobs decoded
// ahead are lost only where the chain breaks, at damage.
constexpr uint32_t kJobsPerThread = 1024;
constexpr uint64_t kBytesPerThread = 32 * 1024 * 1024;
// Predictions made at one top-up, per thread: jobs are queued in batches
// (one lock and at most one wake-up for many), and a chain that breaks at
// every entry costs no more than one batch per entry.
constexpr uint32_t kBatchPerThread = 64;
// Entries with less compressed data than this are decoded by the scan.
constexpr uint32_t kSmallestJob = 256;
// A job reads the archive in pieces of up to this size, never further than
// its data's end when the decode asks for no more: the entries of a typical
// archive are far smaller, and every byte read past them would be a copy
// for nothing.
constexpr uint32_t kSourceBufferSize = 64 * 1024;
// After a saved entry the scan looks again at the last 8 bytes its decode
// read (scan.cpp); the next header is looked for from there, this far.
constexpr uint64_t kRescanAfterEntry = 8;
constexpr uint32_t kSignatureWindow = 512;
// The predictions read the archive this much at a time: the headers of
// small entries follow each other closely.
constexpr uint32_t kPredictionWindow = 16 * 1024;

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
    uint64_t dataEnd;  // the end of the entry's data as its header gives it
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
            uint64_t fill = static_cast<uint64_t>(count - done);
            if (p.dataEnd > p.position && p.dataEnd - p.position > fill) fill = p.dataEnd - p.position;
            if (fill > kSourceBufferSize) fill = kSourceBufferSize;
            p.bufferStart = p.position;
            p.bufferLength = FileReadAt(p.file, p.position, p.buffer, static_cast<uint32_t>(fill));
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
    p.dataEnd = p.position + LoadLE32(header + kLhCompressed);
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
    uint64_t dataEnd;  // as its header gives it
    uint8_t header[kLocalHeaderSize];  // as the salvage holds it: extra length 0
    JobState state;
    std::atomic<uint32_t> cancel;
    int decoded;
    DecodeOutcome outcome;
    OpLog log;  // its memory stays with the slot, for the jobs after it
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
    Condition* queued;  // workers sleep here: jobs queued, or the end
    Condition* done;    // the scan sleeps here: a job done
    Job* jobs;          // a ring in scan order
    uint32_t capacity;
    uint32_t first;     // written by the scan only, with the lock
    uint32_t count;     // likewise
    uint64_t bytes;     // the jobs' compressed bytes; the scan's own
    uint64_t byteBudget;
    uint32_t fewest;    // jobs the ring is given whatever their bytes: two a thread
    uint32_t batch;     // predictions at one top-up
    uint32_t sleepingWorkers;
    bool scanSleeping;
    bool ending;
    // The scan's own.
    bool chainOpen;  // the chain can go on from `last`
    Predicted last;
    uint8_t* window;  // kPredictionWindow bytes of the archive from windowStart
    uint64_t windowStart;
    uint32_t windowLength;
    uint8_t* ownBuffer;  // for the jobs it runs itself
    Worker workers[kMaxWorkers];
    uint32_t workerCount;
};

namespace {

Job& At(VerifyAhead& a, uint32_t index) { return a.jobs[(a.first + index) % a.capacity]; }

// `buffer` holds `*loaded` bytes of the archive from `*loadedStart`, and
// still does, as they are updated, after the job.
void RunJob(Job& job, FileHandle file, uint8_t* buffer, uint64_t* loadedStart, uint32_t* loaded,
            uint64_t decodedLimit) {
    PositionalSource p{};
    p.file = file;
    p.buffer = buffer;
    p.bufferStart = *loadedStart;
    p.bufferLength = *loaded;
    p.position = job.dataStart;
    p.log = &job.log;
    p.cancel = &job.cancel;
    RunStatus status{};
    job.outcome = DecodeOutcome{};
    job.decoded = CheckDecode(p, &status, decodedLimit, job.header, &job.outcome);
    *loadedStart = p.bufferStart;
    *loaded = p.bufferLength;
}

// With the lock: the first queued job from `from` on, or null.
Job* FirstQueued(VerifyAhead& a, uint32_t from) {
    for (uint32_t i = from; i < a.count; ++i)
        if (At(a, i).state == kQueued) return &At(a, i);
    return nullptr;
}

// With the lock: wakes the sleepers, once. Who is woken counts as awake
// from then on, so that jobs queued or done before it runs again wake no
// one a second time (a sleeper woken for nothing just counts itself again).
void WakeWorkers(VerifyAhead& a) {
    if (a.sleepingWorkers == 0) return;
    a.sleepingWorkers = 0;
    ConditionWakeAll(a.queued);
}

void WakeScan(VerifyAhead& a) {
    if (!a.scanSleeping) return;
    a.scanSleeping = false;
    ConditionWakeAll(a.done);
}

// With the lock: runs the job on this thread, the lock released meanwhile,
// and wakes the scan if it sleeps for a job.
void RunHere(VerifyAhead& a, Job& job, FileHandle file, uint8_t* buffer) {
    job.state = kRunning;
    LockRelease(a.lock);
    uint64_t loadedStart = 0;
    uint32_t loaded = 0;
    RunJob(job, file, buffer, &loadedStart, &loaded, a.decodedLimit);
    LockAcquire(a.lock);
    job.state = kDone;
    WakeScan(a);
}

// With the lock: runs on a worker the first queued job and the queued ones
// right after it whose data lies within one buffer of it, read at once:
// small entries cost one read and one hand-off between them.
void RunBatch(VerifyAhead& a, Worker& w, uint32_t from) {
    constexpr uint32_t kLongestBatch = 64;
    Job* batch[kLongestBatch];
    uint32_t n = 0;
    for (uint32_t i = from; i < a.count && n < kLongestBatch; ++i) {
        Job& job = At(a, i);
        if (job.state != kQueued || (n > 0 && job.dataEnd - batch[0]->dataStart > kSourceBufferSize)) break;
        job.state = kRunning;
        batch[n++] = &job;
    }
    LockRelease(a.lock);
    uint64_t start = batch[0]->dataStart;
    uint32_t loaded = 0;
    if (n > 1) loaded = FileReadAt(w.file, start, w.buffer, static_cast<uint32_t>(batch[n - 1]->dataEnd - start));
    for (uint32_t i = 0; i < n; ++i) {
        RunJob(*batch[i], w.file, w.buffer, &start, &loaded, a.decodedLimit);
        LockAcquire(a.lock);
        batch[i]->state = kDone;
        WakeScan(a);
        if (i + 1 < n) LockRelease(a.lock);
    }
}

void WorkerMain(void* argument) {
    Worker& w = *static_cast<Worker*>(argument);
    VerifyAhead& a = *w.ahead;
    LockAcquire(a.lock);
    while (!a.ending) {
        uint32_t from = 0;
        while (from < a.count && At(a, from).state != kQueued) ++from;
        if (from < a.count) {
            RunBatch(a, w, from);
            continue;
        }
        ++a.sleepingWorkers;
        ConditionWait(a.queued, a.lock);
    }
    LockRelease(a.lock);
}

// With the lock: the scan sleeps until a worker is done with a job.
void SleepForJob(VerifyAhead& a) {
    a.scanSleeping = true;
    ConditionWait(a.done, a.lock);
}

// With the lock: takes the first job out of the ring, cancelling it and
// waiting for its worker when it runs.
void DropFirst(VerifyAhead& a) {
    Job& job = At(a, 0);
    job.cancel.store(1, std::memory_order_relaxed);
    while (job.state == kRunning) SleepForJob(a);
    a.bytes -= job.dataEnd - job.dataStart;
    a.first = (a.first + 1) % a.capacity;
    --a.count;
}

// Whether an entry's data is small enough that the scan decodes it faster
// than it hands it over (the job, its replay, the locks): it is not made a
// job, and the chain passes over it.
bool TooSmallForJob(const uint8_t header[kLocalHeaderSize]) {
    return LoadLE32(header + kLhCompressed) < kSmallestJob;
}

// Whether the scan's check decode of this entry can be a job: an entry
// KeepIfIntact decodes with DecodeEntry, worth handing over.
bool Eligible(const RepairRun& run, const uint8_t header[kLocalHeaderSize]) {
    return MayKeepIntact(run, header) && !IsStreamedEntry(run, header) && !TooSmallForJob(header);
}

// The entry whose local header stands at `at`, as the salvage will hold its
// header, from the header's bytes (`header`, kLocalHeaderSize of them);
// false for one the chain does not follow (an empty name, ZIP64 sizes, a
// name or extra field past the end).
bool TakePredicted(const RepairRun& run, uint64_t at, const uint8_t* bytes, Predicted* out) {
    uint8_t* header = out->header;
    std::memcpy(header, bytes, kLocalHeaderSize);
    const uint16_t nameLength = LoadLE16(header + kLhNameLength);
    if (nameLength == 0 || LoadLE32(header + kLhCompressed) == kZip64Marker ||
        LoadLE32(header + kLhUncompressed) == kZip64Marker)
        return false;
    out->headerOffset = at;
    out->dataStart = at + kLocalHeaderSize + nameLength + LoadLE16(header + kLhExtraLength);
    StoreLE16(header + kLhExtraLength, 0);
    return out->dataStart <= run.inputSize;
}

// The bytes of the archive from `at` on, at least `want` of them unless
// the archive ends first (*got), from the prediction window, read anew
// when it does not hold them.
const uint8_t* WindowAt(VerifyAhead& a, uint64_t at, uint32_t want, uint32_t* got) {
    const uint64_t end = a.windowStart + a.windowLength;
    const bool held = at >= a.windowStart && at <= end &&
                      (end - at >= want || (a.windowLength < kPredictionWindow && end > a.windowStart));
    if (!held) {
        a.windowStart = at;
        a.windowLength = FileReadAt(a.run->input, at, a.window, kPredictionWindow);
    }
    *got = static_cast<uint32_t>(a.windowStart + a.windowLength - at);
    return a.window + (at - a.windowStart);
}

// The entry the scan comes to after `from` when `from` is saved: the first
// signature from the end of its data, less the rescan allowance.
bool PredictNext(VerifyAhead& a, const Predicted& from, Predicted* next) {
    // A streamed entry's end is known only once it is decoded.
    if (IsStreamedEntry(*a.run, from.header)) return false;
    const uint64_t end = from.dataStart + LoadLE32(from.header + kLhCompressed);
    uint64_t at = end > kRescanAfterEntry ? end - kRescanAfterEntry : 0;
    if (at < from.headerOffset + 4) at = from.headerOffset + 4;
    uint32_t got;
    const uint8_t* window = WindowAt(a, at, kSignatureWindow + kLocalHeaderSize, &got);
    const uint32_t searched = got < kSignatureWindow ? got : kSignatureWindow;
    for (uint32_t i = 0; i + 4 <= searched; ++i) {
        if (window[i] != 'P' || window[i + 1] != 'K' || window[i + 2] != 3 || window[i + 3] != 4) continue;
        return i + kLocalHeaderSize <= got && TakePredicted(*a.run, at + i, window + i, next);
    }
    return false;
}

// Lengthens the chain by up to one batch of predictions, once the ring
// has room for `room` more jobs and half its bytes are free (or whatever
// room it has when it holds fewer than two jobs a thread). The scan's own
// work: the predictions read the archive without the lock, into slots no
// worker looks at until they are counted in; workers are woken only when
// they sleep.
bool RoomForBatch(const VerifyAhead& a, uint32_t room) {
    return a.chainOpen && (a.count < a.fewest || (a.capacity - a.count >= room && a.bytes <= a.byteBudget / 2));
}

void TopUp(VerifyAhead& a, uint32_t room) {
    if (!RoomForBatch(a, room)) return;
    uint32_t added = 0;
    for (uint32_t steps = 0; a.count + added < a.capacity && steps < a.batch; ++steps) {
        if (a.count + added >= a.fewest && a.bytes >= a.byteBudget) break;
        Predicted next;
        if (!PredictNext(a, a.last, &next)) {
            a.chainOpen = false;
            break;
        }
        a.last = next;
        if (!Eligible(*a.run, next.header)) continue;
        Job& job = At(a, a.count + added);
        job.headerOffset = next.headerOffset;
        job.dataStart = next.dataStart;
        job.dataEnd = next.dataStart + LoadLE32(next.header + kLhCompressed);
        std::memcpy(job.header, next.header, kLocalHeaderSize);
        job.cancel.store(0, std::memory_order_relaxed);
        job.decoded = 0;
        job.log.used = 0;
        job.log.failed = false;
        a.bytes += job.dataEnd - job.dataStart;
        ++added;
    }
    if (added == 0) return;
    LockAcquire(a.lock);
    for (uint32_t i = 0; i < added; ++i) At(a, a.count + i).state = kQueued;
    a.count += added;
    WakeWorkers(a);
    LockRelease(a.lock);
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
    ConditionDestroy(a->queued);
    ConditionDestroy(a->done);
    std::free(a->ownBuffer);
    std::free(a->window);
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
    a->byteBudget = (threads + 1) * kBytesPerThread;
    a->fewest = (threads + 1) * 2;
    a->batch = (threads + 1) * kBatchPerThread;
    a->jobs = new (std::nothrow) Job[a->capacity]();
    a->lock = LockCreate();
    a->queued = ConditionCreate();
    a->done = ConditionCreate();
    a->ownBuffer = static_cast<uint8_t*>(std::malloc(kSourceBufferSize));
    a->window = static_cast<uint8_t*>(std::malloc(kPredictionWindow));
    if (a->jobs == nullptr || a->lock == nullptr || a->queued == nullptr || a->done == nullptr ||
        a->ownBuffer == nullptr || a->window == nullptr) {
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
    ConditionWakeAll(a->queued);
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
    if (s.ahead == nullptr || RunStopped(&s.run.status) || s.largeCompressed != 0 || s.largeUncompressed != 0 ||
        TooSmallForJob(header))
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
        LockRelease(a.lock);
        a.last.headerOffset = at;
        a.last.dataStart = dataStart;
        std::memcpy(a.last.header, header, kLocalHeaderSize);
        a.chainOpen = true;
        TopUp(a, 0);
        return false;
    }
    // A sleeping worker has run out of jobs: the ring is topped up as soon
    // as it has room for half a batch.
    const uint32_t room = a.sleepingWorkers > 0 ? a.batch / 2 : a.batch;
    if (RoomForBatch(a, room)) {
        LockRelease(a.lock);
        TopUp(a, room);
        LockAcquire(a.lock);
    }
    Job& job = At(a, 0);
    while (job.state != kDone) {
        if (job.state == kQueued) {
            // No worker has taken it yet: the scan has nothing better to do.
            RunHere(a, job, s.run.input, a.ownBuffer);
            break;
        }
        // A worker has it: rather than wait, the scan decodes one further on.
        if (Job* ahead = FirstQueued(a, 1)) RunHere(a, *ahead, s.run.input, a.ownBuffer);
        else SleepForJob(a);
    }
    const bool usable = job.decoded != 0 && !job.log.failed;
    *decoded = job.decoded;
    *outcome = job.outcome;
    a.bytes -= job.dataEnd - job.dataStart;
    a.first = (a.first + 1) % a.capacity;
    --a.count;
    LockRelease(a.lock);
    // A failed decode is done again here: damaged entries take the path
    // they always took, whatever a worker made of them. The slot is free
    // now, but only the scan refills slots, after the replay.
    if (usable) Replay(s, a, job.log, header, dataStart);
    return usable;
}

}  // namespace arcsalve
