// A test of the salvage scan over archives it writes itself: a scratch
// directory of its own, and the run flags, the password callback and the
// remembered passwords cleared around each test so no state leaks into the
// next one.
#ifndef ARCSALVE_TESTS_SUPPORT_SCAN_FIXTURE_H
#define ARCSALVE_TESTS_SUPPORT_SCAN_FIXTURE_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "arcsalve/arcsalve.h"
#include "support/library_state.h"
#include "support/repair_run.h"
#include "support/temp_dir.h"
#include "ui/password_prompt.h"

namespace arcsalve::test {

class ScanFixture : public ::testing::Test {
protected:
    void SetUp() override { ClearRunFlags(); }
    void TearDown() override {
        ClearRunFlags();
        SetPasswordCallback(0);
        ForgetPasswords();
    }
    // Scans input (written as in.zip) into out.zip with the repair flags;
    // with abortAt = n > 0 the host stops the run at its n-th progress report.
    ScanOutcome Run(const Bytes& input, unsigned long flags = 0, int abortAt = 0) {
        WriteFile(dir_.File("in.zip"), input);
        return RunScan(dir_.File("in.zip"), OutPath(), abortAt, flags);
    }
    std::string OutPath() const { return dir_.File("out.zip"); }
    // The rebuilt archive must be read whole by Python and unzip; returns
    // Python's view of it.
    OracleListing ValidListing() { return ExpectValidArchive(OutPath()); }
    // Messages between "Beginning salvage operations..." and the summary.
    static std::vector<Message> EntryMessages(const ScanOutcome& run) {
        std::vector<Message> out;
        for (size_t i = 1; i < run.messages.size(); ++i) {
            if (run.messages[i].text == "Salvage attempt complete") break;
            out.push_back(run.messages[i]);
        }
        return out;
    }

    TempDir dir_;
};

}  // namespace arcsalve::test

#endif  // ARCSALVE_TESTS_SUPPORT_SCAN_FIXTURE_H
