// One whole repair of arbitrary bytes, judged: shared by the repair fuzz
// target and by the test that replays the inputs it once failed on
// (tests/fixtures/regress/). No gtest here, so the fuzzer links it too.
#ifndef ARCSALVE_TESTS_SUPPORT_REPAIR_CHECK_H
#define ARCSALVE_TESTS_SUPPORT_REPAIR_CHECK_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace arcsalve::test {

// Writes `data` as workDir/in/damaged.zip and repairs it with RepairFile into
// workDir/out/ (both directories must exist; TMPDIR should point somewhere
// private), with the host's message, progress, password and notice callbacks
// installed. The extension flags are chosen from the input's size, so every
// mode gets its share of the inputs. The password callback offers, in turn,
// a wrong password and those of the test archives, then skips.
//
// Returns "" when all is well, else what went wrong:
//  - RepairFile did not return REPAIR_OK, or a progress value left 1..100;
//  - the run completed (it reported its summary) but the rebuilt archive
//    fails the strict reader, or holds more entries than were found;
//  - the run ended without a summary, an abort or a write error;
//  - the input was itself a clean archive (strictly valid, no gaps, no
//    encryption, nothing that a scan is meant to trip over) and an entry of
//    it is missing from the rebuilt archive or differs there.
//
// `entries`, when given, receives the number of entries in the rebuilt
// archive (0 when the run did not complete).
std::string RepairAndCheck(const uint8_t* data, size_t size, const std::string& workDir,
                           size_t* entries = nullptr);

}  // namespace arcsalve::test

#endif  // ARCSALVE_TESTS_SUPPORT_REPAIR_CHECK_H
