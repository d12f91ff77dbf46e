// The arcsalve command on encrypted archives, without a terminal (standard
// input is /dev/null or a pipe): passwords from -p and --password-file, and
// what is said when none fits. The terminal prompt is tried by hand.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/crypt_fixture.h"
#include "support/zipcrypto_writer.h"

namespace arcsalve {
namespace {

using test_crypt::Bytes;
using test_crypt::ShellQuote;

struct CliRun {
    int status = -1;
    std::string out, err;
};

class EncryptedCli : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(test_crypt::RunCommand("mkdir -p " + dir_.File("tmp") + " " + dir_.File("out")), 0);
        // Three entries sharing one password, one with another, one plain.
        std::vector<test_crypt::CryptEntry> entries;
        for (int i = 0; i < 3; ++i) {
            entries.push_back(test_crypt::Encrypted("doc" + std::to_string(i) + ".txt",
                                                    Text(200 + 100 * i, i), "open sesame"));
        }
        entries.push_back(test_crypt::Encrypted("other.txt", Text(50, 7), "second", 0));
        entries.push_back(test_crypt::Plain("plain.txt", Text(20, 8)));
        for (const auto& e : entries) originals_.push_back(e.data);
        Bytes archive = test_crypt::BuildZip(entries);
        // Damage: the central directory is cut off.
        std::vector<test_crypt::ZipEntry> listed = test_crypt::ListZip(archive);
        archive.resize(listed.back().dataOffset + listed.back().compressedSize);
        ASSERT_TRUE(test_crypt::WriteAll(dir_.File("damaged.zip"), archive));
    }

    static Bytes Text(int lines, int salt) {
        std::string s;
        for (int i = 0; i < lines; ++i) s += "text " + std::to_string(salt) + "/" + std::to_string(i) + "\n";
        return test_crypt::ToBytes(s);
    }

    // Runs arcsalve -o out ARGS damaged.zip in the test directory, with
    // standard input from `input` (a shell redirection).
    CliRun Run(const std::string& args, const std::string& input = "</dev/null") {
        CliRun run;
        std::string cmd = "cd " + ShellQuote(dir_.path()) + " && TMPDIR=" + ShellQuote(dir_.File("tmp")) + " " +
                          ShellQuote(ARCSALVE_CLI_PATH) + " --no-progress -o out " + args +
                          " damaged.zip >stdout 2>stderr " + input + "\n";
        run.status = test_crypt::RunCommand("(" + cmd + ")");
        Bytes b;
        test_crypt::ReadAll(dir_.File("stdout"), &b);
        run.out.assign(b.begin(), b.end());
        test_crypt::ReadAll(dir_.File("stderr"), &b);
        run.err.assign(b.begin(), b.end());
        return run;
    }

    // Names and contents of the rebuilt archive, checked by unzip -t.
    std::vector<std::string> RebuiltNames() {
        std::string out;
        EXPECT_EQ(test_crypt::RunCommand("unzip -t " + ShellQuote(dir_.File("out/damaged.zip")), &out), 0) << out;
        Bytes rebuilt;
        EXPECT_TRUE(test_crypt::ReadAll(dir_.File("out/damaged.zip"), &rebuilt));
        std::vector<std::string> names;
        for (const auto& e : test_crypt::ListZip(rebuilt)) {
            names.push_back(e.name);
            EXPECT_EQ(e.flags, 0);
            std::string content;
            test_crypt::RunCommand("(unzip -p " + ShellQuote(dir_.File("out/damaged.zip")) + " " + e.name +
                                       " 2>/dev/null)",
                                   &content);
            size_t index = e.name == "other.txt" ? 3 : e.name == "plain.txt" ? 4 : e.name[3] - '0';
            EXPECT_EQ(test_crypt::ToBytes(content), originals_[index]) << e.name;
        }
        return names;
    }

    test::ScratchDir dir_;
    std::vector<Bytes> originals_;
};

const std::vector<std::string> kAll = {"doc0.txt", "doc1.txt", "doc2.txt", "other.txt", "plain.txt"};

// Passwords from -p, --password-file and standard input, wrong ones among
// them, in any order: every entry is saved, the wrong ones pass quietly,
// exit status 0.
TEST_F(EncryptedCli, GivenPasswordsOpenEveryEntry) {
    ASSERT_TRUE(test_crypt::WriteAll(dir_.File("pw.txt"), test_crypt::ToBytes("nope\n\nsecond\r\n")));
    struct Case {
        const char* label;
        std::string args, input;
    } cases[] = {
        {"-p twice", "-p second --password='open sesame'", "</dev/null"},
        {"wrong ones first", "-p wrong -p 'open sesame' -p also-wrong -p second", "</dev/null"},
        {"file and -p", "--password-file pw.txt -p 'open sesame'", "</dev/null"},
        {"standard input", "--password-file -", "<<'EOF'\nopen sesame\nsecond\nEOF"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        CliRun run = Run("-f " + c.args, c.input);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err, "");
        EXPECT_NE(run.out.find("    other.txt: size = " + std::to_string(originals_[3].size()) + ":  OK\n"), std::string::npos) << run.out;
        EXPECT_EQ(RebuiltNames(), kAll);
    }
}

// No password, or none that fits, and no terminal: each encrypted entry is
// skipped and said to be so, with a hint once; the plain entry is saved and
// the exit status tells of losses. --no-prompt behaves the same.
TEST_F(EncryptedCli, WithoutPasswordsEncryptedEntriesAreSkipped) {
    struct Case {
        const char* label;
        std::string args;
        std::string hint;
        std::vector<std::string> saved;
        int undecryptable;
    } cases[] = {
        {"nothing given", "", "arcsalve: doc0.txt is encrypted: -p PASSWORD or --password-file FILE gives its password\n",
         {"plain.txt"}, 4},
        {"--no-prompt", "--no-prompt", "arcsalve: doc0.txt is encrypted: -p PASSWORD or --password-file FILE gives its password\n",
         {"plain.txt"}, 4},
        {"one of two", "-p second", "arcsalve: doc0.txt is encrypted and none of the passwords given fits\n",
         {"other.txt", "plain.txt"}, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        CliRun run = Run("-f " + c.args);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err.rfind(c.hint, 0), 0u) << run.err;
        EXPECT_NE(run.err.find("ERROR (SKIPPING FILE): Cannot decrypt doc1.txt\n"), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("error: " + std::to_string(c.undecryptable) + " undecryptable files\n"),
                  std::string::npos)
            << run.err;
        EXPECT_EQ(run.err.find("Incorrect Password"), std::string::npos);
        EXPECT_EQ(RebuiltNames(), c.saved);
    }
}

// A password file that cannot be read is a usage error; nothing is touched.
// A password longer than 39 characters is announced as cut.
TEST_F(EncryptedCli, PasswordFileErrorsAndLongPasswords) {
    CliRun run = Run("--password-file missing.txt");
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err, "arcsalve: cannot read password file missing.txt: No such file or directory\n");
    EXPECT_EQ(run.out, "");

    run = Run("-f -p " + std::string(45, 'x') + " -p second");
    EXPECT_EQ(run.err.rfind("arcsalve: a password given is longer than 39 characters: only its first 39 are used\n", 0), 0u)
        << run.err;
}

}  // namespace
}  // namespace arcsalve
