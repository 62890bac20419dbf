// Runs under failing file systems (a full disk, a folder turning read-only, a file
// size limit, a mailbox that vanishes or shrinks). Every run must end, name what
// failed, count no message it did not write, lose none, and leave what it finished
// readable.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include "faults/fault_support.h"

#include "mapi/import.h"
#include "pst/check/checker.h"

namespace tp::test {
namespace {

using convert::Format;
using convert::RunSummary;

std::string attachmentMessage(const std::string& subject) {
    return "From: Carl <carl@example.org>\r\nTo: ann@example.org\r\nSubject: " + subject +
           "\r\nDate: Tue, 5 May 2009 11:00:00 +0200\r\nMIME-Version: 1.0\r\n"
           "Content-Type: multipart/mixed; boundary=\"b1\"\r\n\r\n"
           "--b1\r\nContent-Type: text/plain\r\n\r\nSee the file.\r\n"
           "--b1\r\nContent-Type: application/octet-stream; name=\"a.bin\"\r\n"
           "Content-Disposition: attachment; filename=\"a.bin\"\r\n"
           "Content-Transfer-Encoding: base64\r\n\r\nAAECAwQFBgc=\r\n--b1--\r\n\r\n";
}

// Two mailboxes of three messages each (one body starting with "From "). With
// `attachments`, message "two" also names two files it does not hold: one in the
// attachments folder, put back, and one lost, a remark.
struct Fixture {
    ScratchDir dir;
    std::vector<std::string> mailboxes;
    bool attachments;
    // `bigFive`: message "five" gets a body of that many lines of 64 characters.
    explicit Fixture(int bigFive = 0, bool withAttachments = false) : attachments(withAttachments) {
        const fs::path in = dir.path() / "in";
        std::string two = attachmentMessage("two");
        if (attachments) {
            for (const std::string name : {"doc.txt", "lost.pdf"}) {
                two.insert(two.find("--b1--"), "--b1\r\nContent-Type: text/plain; name=\"" + name +
                                                   "\"\r\nContent-Disposition: attachment\r\n\r\n");
            }
            writeBytes(dir.path() / "Att" / "doc.txt", "kept beside the mailbox");
        }
        writeBytes(in / "Inbox.imm",
                   textMessage("one") + two + textMessage("three", "From here on.\r\nBye."));
        std::string five = "Hello.";
        for (int i = 0; i < bigFive; ++i)
            five += "\r\nline " + std::to_string(100000 + i) + std::string(52, '.');
        writeBytes(in / "Sent.imm",
                   textMessage("four") + textMessage("five", five) + attachmentMessage("six"));
        mailboxes = {(in / "Inbox.imm").string(), (in / "Sent.imm").string()};
    }
    static std::string subject(std::size_t mailbox, int k) {
        static const char* const names[2][3] = {{"one", "two", "three"}, {"four", "five", "six"}};
        return names[mailbox][k - 1];
    }
    convert::RunOptions options(Format format, const fs::path& out) const {
        convert::RunOptions o;
        o.mailboxes = mailboxes;
        o.format = format;
        o.outputFolder = out;
        o.attachments = attachments;
        o.attachmentFolder = (dir.path() / "Att").string();
        return o;
    }
};

// The records of an .mbox file: each begins with a line starting "From " (bodies
// are quoted, so no other line does).
std::vector<std::string> mboxRecords(const std::string& bytes) {
    std::vector<std::size_t> starts;
    for (std::size_t i = 0; i + 5 <= bytes.size(); ++i)
        if ((i == 0 || bytes[i - 1] == '\n') && bytes.compare(i, 5, "From ") == 0)
            starts.push_back(i);
    std::vector<std::string> out;
    for (std::size_t j = 0; j < starts.size(); ++j)
        out.push_back(bytes.substr(
            starts[j], (j + 1 < starts.size() ? starts[j + 1] : bytes.size()) - starts[j]));
    return out;
}

// The messages Python's mailbox module reads in an .mbox file (-1: it fails).
int pythonMboxCount(const fs::path& mbox) {
    int rc = -1;
    const std::string n =
        output("python3 -c \"import mailbox,sys; print(len(mailbox.mbox(sys.argv[1])))\" " +
                   quote(mbox.string()),
               &rc);
    return rc == 0 ? std::atoi(n.c_str()) : -1;
}

using MessageKey = std::pair<std::string, int>;

// The store's file: "....pst", or "....pst.unfinished" while it is being written.
bool isStoreFile(const fs::path& path) {
    return path.extension() == ".pst" ||
           (path.extension() == ".unfinished" && path.stem().extension() == ".pst");
}

// Messages (mailbox, k) with a failure entry of their own.
std::set<MessageKey> failedMessages(const RunSummary& s) {
    std::set<MessageKey> out;
    for (const convert::Failure& f : s.failures)
        if (f.message > 0) out.insert({f.mailbox, f.message});
    return out;
}

// A clean run of the fixture, the reference that faulty runs are held against,
// and a clean EML run: a message kept as its .eml has that run's bytes.
struct Reference {
    RunSummary summary;
    fs::path out;
    fs::path emlOut;
};

// (folder, subject) of every message in a store, as libpff reads it.
std::multiset<std::pair<std::string, std::string>> storeMessages(const fs::path& pst) {
    std::multiset<std::pair<std::string, std::string>> out;
    std::istringstream lines(output("/usr/bin/python3 '" TP_SOURCE_DIR "/tests/pst/pst_read.py' " +
                                    quote(pst.string()) + " 2>/dev/null"));
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("M\t", 0) != 0) continue;
        const auto a = line.find('\t', 2), b = line.find('\t', a + 1);
        const std::string folder = line.substr(2, a - 2);
        out.insert({folder.substr(folder.rfind('/') + 1), line.substr(a + 1, b - a - 1)});
    }
    return out;
}

// The .pst files left in `out` that a reader would take for a finished store.
int finishedStoresIn(const fs::path& out) {
    int n = 0;
    for (const auto& e : fs::directory_iterator(out))
        if (e.path().extension() == ".pst" && pst::check::checkStore(e.path()).readable) ++n;
    return n;
}

// What every faulty run must satisfy. `reference` is a clean run of the same
// format into another folder.
void checkRun(const Fixture& fx, Format format, const fs::path& out, const RunSummary& s,
              const Reference& ref, bool faultHit, const std::string& what) {
    SCOPED_TRACE(what + "\n" + describeFailures(s));
    const std::set<MessageKey> failed = failedMessages(s);
    if (faultHit) {
        EXPECT_TRUE(!s.failures.empty() || s.setupFailed) << "a fault went unreported";
    }
    EXPECT_EQ(s.failedMessages, static_cast<int>(failed.size()))
        << "the count of failed messages differs from the messages named";
    if (s.setupFailed) {
        // Nothing was converted and the run says so.
        EXPECT_EQ(s.messages, 0);
        return;
    }
    EXPECT_EQ(s.messages, ref.summary.messages);

    int stored = 0;
    std::multiset<std::pair<std::string, std::string>> storedSubjects;
    for (std::size_t m = 0; m < fx.mailboxes.size(); ++m) {
        const std::string& mb = fx.mailboxes[m];
        const fs::path folder = mailboxFolder(out, mb);
        const fs::path refFolder = mailboxFolder(ref.out, mb);
        std::vector<std::string> records, refRecords;
        if (format == Format::Mbox) {
            const fs::path mbox = folder / (fs::path(mb).stem().string() + ".mbox");
            refRecords = mboxRecords(readBytes(refFolder / mbox.filename()));
            if (fs::exists(mbox)) {
                records = mboxRecords(readBytes(mbox));
                EXPECT_EQ(pythonMboxCount(mbox), static_cast<int>(records.size()))
                    << mbox << " does not read back whole";
            }
        }
        std::size_t nextRecord = 0;
        for (int k = 1; k <= 3; ++k) {
            const std::string eml = "Email-" + std::to_string(k) + ".eml";
            const bool reportedFailed = failed.count({mb, k}) > 0;
            bool present = false;
            if (format == Format::Eml) {
                present = fs::exists(folder / eml);
                if (present) {
                    EXPECT_EQ(readBytes(folder / eml), readBytes(refFolder / eml))
                        << eml << " of " << mb << " is damaged";
                }
            } else if (format == Format::Mbox) {
                // The records present are the reference's, in order, with the failed
                // ones missing.
                const std::string& expected = refRecords.at(static_cast<std::size_t>(k - 1));
                if (nextRecord < records.size() && records[nextRecord] == expected) {
                    present = true;
                    ++nextRecord;
                }
            }
            if (format != Format::Pst) {
                EXPECT_EQ(present, !reportedFailed)
                    << "message " << k << " of " << mb
                    << (present ? " was written but reported failed" : " is missing unreported");
            }
            if (reportedFailed && format != Format::Eml) {
                // Not stored: it must stay behind as its .eml, or the run must say
                // that it could not be kept either, or that it had stopped (a write
                // failed for want of space or rights) before this message.
                bool saidLost = false;
                for (const convert::Failure& f : s.failures)
                    if (f.mailbox == mb && f.message == k &&
                        (f.reason.find("could not be kept") != std::string::npos ||
                         f.step == convert::kStopped))
                        saidLost = true;
                if (!saidLost) {
                    EXPECT_TRUE(fs::exists(folder / eml)) << eml << " of " << mb << " was lost";
                    if (fs::exists(folder / eml)) {
                        EXPECT_EQ(readBytes(folder / eml),
                                  readBytes(mailboxFolder(ref.emlOut, mb) / eml))
                            << eml << " of " << mb << " was not kept whole";
                    }
                } else {
                    EXPECT_FALSE(fs::exists(folder / eml)) << eml << " of " << mb;
                }
            }
            if (!reportedFailed && format != Format::Eml) {
                EXPECT_FALSE(fs::exists(folder / eml)) << "stray " << eml << " of " << mb;
            }
            if (!reportedFailed) {
                ++stored;
                storedSubjects.insert({fs::path(mb).stem().string(), Fixture::subject(m, k)});
            }
        }
        if (format == Format::Mbox) {
            EXPECT_EQ(nextRecord, records.size()) << "unexpected records in the .mbox of " << mb;
        }
    }
    if (format == Format::Pst) {
        int storeFailures = 0;
        for (const convert::Failure& f : s.failures)
            if (f.message == 0 && f.step == "pst") ++storeFailures;
        EXPECT_LE(storeFailures, 1) << "the store's failure is reported once";
        if (storeFailures > 0) {
            // A store that could not be finished holds nothing it can vouch for, and
            // nothing is left that looks like one.
            EXPECT_EQ(stored, 0) << "messages counted as stored in a store that was not finished";
            EXPECT_TRUE(s.pstFile.empty());
            EXPECT_EQ(finishedStoresIn(out), 0) << "an unfinished store was left behind";
        } else {
            ASSERT_FALSE(s.pstFile.empty());
            const pst::check::Report report = pst::check::checkStore(s.pstFile);
            EXPECT_TRUE(report.clean()) << s.pstFile << ": " << report.fatal;
            EXPECT_EQ(report.messages, static_cast<std::uint64_t>(stored))
                << "the store's messages differ from those counted as stored";
            EXPECT_EQ(storeMessages(s.pstFile), storedSubjects)
                << "the store's messages differ from those counted as stored";
        }
    }
}

Reference cleanRun(const Fixture& fx, Format format) {
    Reference ref;
    ref.out = fx.dir.path() / "reference";
    fs::remove_all(ref.out);
    fs::create_directories(ref.out);
    ref.summary = runOnce(fx.options(format, ref.out));
    EXPECT_TRUE(ref.summary.failures.empty()) << describeFailures(ref.summary);
    ref.emlOut = ref.out;
    if (format != Format::Eml) {
        ref.emlOut = fx.dir.path() / "reference-eml";
        fs::remove_all(ref.emlOut);
        fs::create_directories(ref.emlOut);
        EXPECT_TRUE(runOnce(fx.options(Format::Eml, ref.emlOut)).failures.empty());
    }
    return ref;
}

const auto kFormats = ::testing::Values(Format::Eml, Format::Mbox, Format::Pst);

class FaultRun : public ::testing::TestWithParam<Format> {};

// ENOSPC at the first, second, ... file operation until a run no longer reaches
// the n-th: every write of the run has failed once.
TEST_P(FaultRun, FullDiskAtEveryWrite) {
    const Format format = GetParam();
    Fixture fx;
    const Reference ref = cleanRun(fx, format);
    int runs = 0, storeWrites = 0;
    for (int n = 1; n < 500; ++n) {
        const fs::path out = fx.dir.path() / ("out" + std::to_string(n));
        fs::create_directories(out);
        // The n-th operation but removals fails.
        int seen = 0;
        fs::path hit;
        Hook injector([&](io::Op op, const fs::path& path) -> std::error_code {
            if (op == io::Op::Remove || ++seen != n) return {};
            hit = path;
            return std::make_error_code(std::errc::no_space_on_device);
        });
        RunSummary s;
        {
            InjectorScope scope(&injector);
            s = runOnce(fx.options(format, out));
        }
        ++runs;
        checkRun(fx, format, out, s, ref, !hit.empty(),
                 "disk full at operation " + std::to_string(n));
        fs::remove_all(out);
        if (hit.empty()) break;
        storeWrites += isStoreFile(hit);
    }
    EXPECT_GE(runs, 3);
    // The store's own calls (creation, pages, header, flushes) go through the seam.
    if (format == Format::Pst) {
        EXPECT_GE(storeWrites, 6);
    }
}

// The disk fills up while the store is written: from the n-th of the store's own
// file calls on, every one fails. Message "five" is large enough that the store
// writes while messages are still being added, not only when it is closed.
TEST(FaultPst, DiskFillsUpUnderTheStore) {
    Fixture fx(100000);  // a body of 6.5 MB
    const Reference ref = cleanRun(fx, Format::Pst);
    int runs = 0, whileAdding = 0;
    // Every call at first (creation, the writes while adding), then a spread over
    // the close's many map pages; FullDiskAtEveryWrite takes each of a close's calls.
    for (int n = 1; n < 1000; n += n < 6 ? 1 : 7) {
        const fs::path out = fx.dir.path() / ("full" + std::to_string(n));
        fs::create_directories(out);
        int seen = 0, hits = 0;
        Hook injector([&](io::Op, const fs::path& path) -> std::error_code {
            if (!isStoreFile(path) || ++seen < n) return {};
            ++hits;
            return std::make_error_code(std::errc::no_space_on_device);
        });
        RunSummary s;
        {
            InjectorScope scope(&injector);
            s = runOnce(fx.options(Format::Pst, out));
        }
        if (hits == 0) break;
        ++runs;
        checkRun(fx, Format::Pst, out, s, ref, true, "store full from call " + std::to_string(n));
        // Messages refused by the broken store are kept one by one as they come.
        for (const convert::Failure& f : s.failures)
            whileAdding +=
                f.message > 0 && f.reason.find("could not be added") != std::string::npos;
        fs::remove_all(out);
    }
    EXPECT_GE(runs, 10);
    EXPECT_GT(whileAdding, 0) << "the store never failed while messages were being added";
}

// Not a simulated fault: the process's file size limit makes the system refuse the
// store's writes (EFBIG) at every size up to the full store.
TEST(FaultPst, StoreHitsFileSizeLimit) {
    Fixture fx;
    const Reference ref = cleanRun(fx, Format::Pst);
    const auto full = fs::file_size(ref.summary.pstFile);
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    int runs = 0;
    for (std::uintmax_t limit = 0; limit <= full;
         limit += std::max<std::uintmax_t>(full / 12, 512)) {
        const fs::path out = fx.dir.path() / ("lim" + std::to_string(limit));
        fs::create_directories(out);
        rlimit lim = old;
        lim.rlim_cur = static_cast<rlim_t>(limit);
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &lim), 0);
        RunSummary s = runOnce(fx.options(Format::Pst, out));
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &old), 0);
        ++runs;
        checkRun(fx, Format::Pst, out, s, ref, true, "file size limit " + std::to_string(limit));
        fs::remove_all(out);
    }
    std::signal(SIGXFSZ, SIG_DFL);
    EXPECT_GT(runs, 5);
}

// A store that cannot be finished (its folder turns read-only at the end, or the
// run is cancelled) is removed; each of its messages is kept as its .eml again, or
// reported lost when that is impossible too.
TEST(FaultPst, StoreThatCannotBeFinishedLeavesEveryMessageAsItsEml) {
    struct Case {
        const char* what;
        bool wholeTree;     // the mailbox folders are read-only too: nothing can be kept
        bool cancel;        // cancelled after the first mailbox
        bool inboxChanges;  // Inbox.imm is written to before the close
    };
    for (const Case c :
         {Case{"store folder", false, false, false}, Case{"whole output", true, false, false},
          Case{"cancelled", false, true, false}, Case{"mailbox changed", false, false, true}}) {
        SCOPED_TRACE(c.what);
        Fixture fx(0, true);
        const Reference ref = cleanRun(fx, Format::Pst);
        const fs::path out = fx.dir.path() / "out";
        fs::create_directories(out);
        // Once armed, every operation (removal included) on a file in the output
        // folder (or, for the whole tree, below it) fails with EROFS.
        bool armed = false;
        Hook injector([&](io::Op, const fs::path& path) -> std::error_code {
            const bool below = c.wholeTree ? path.string().rfind(out.string() + "/", 0) == 0
                                           : path.parent_path() == out;
            if (!armed || !below) return {};
            return std::make_error_code(std::errc::read_only_file_system);
        });
        std::atomic<bool> cancel{false};
        RecordingObserver observer;
        observer.onStep = [&](const convert::RunProgress& p) {
            if (p.step != convert::RunProgress::Step::MailboxDone ||
                (p.mailbox + 1) * 100 < p.mailboxes * (c.cancel ? 50 : 100))
                return;
            if (c.cancel) cancel = true;
            if (c.inboxChanges) writeBytes(fx.mailboxes[0], readBytes(fx.mailboxes[0]) + "\r\n");
            armed = true;
        };
        RunSummary s;
        {
            InjectorScope scope(&injector);
            convert::RunServices services = convert::defaultServices();
            services.eventsPerSecond = 0;
            s = convert::ConversionRun(fx.options(Format::Pst, out), observer, services)
                    .run(cancel);
        }
        SCOPED_TRACE(describeFailures(s));
        const std::size_t mailboxes = c.cancel ? 1 : 2;
        EXPECT_EQ(s.cancelled, c.cancel);
        if (!c.cancel) checkRun(fx, Format::Pst, out, s, ref, true, c.what);
        EXPECT_TRUE(s.pstFile.empty());
        EXPECT_EQ(finishedStoresIn(out), 0);
        int storeFailures = 0;
        for (const convert::Failure& f : s.failures)
            storeFailures += f.message == 0 && f.step == "pst" &&
                             f.reason.find("could not be finished") != std::string::npos;
        EXPECT_EQ(storeFailures, 1);
        // Each message converted is named once more, kept or lost, and none counts
        // as converted, nor as remarked; the lost file is remarked once.
        EXPECT_EQ(s.failedMessages, static_cast<int>(3 * mailboxes));
        EXPECT_EQ(s.remarkedMessages, 0);
        int remarks = 0;
        for (const convert::Note& n : s.notes) remarks += n.message > 0;
        EXPECT_EQ(remarks, 1);
        int kept = 0;
        for (std::size_t m = 0; m < 2; ++m) {
            for (int k = 1; k <= 3; ++k) {
                const fs::path eml =
                    mailboxFolder(out, fx.mailboxes[m]) / ("Email-" + std::to_string(k) + ".eml");
                std::string reason;
                for (const convert::Failure& f : s.failures)
                    if (f.mailbox == fx.mailboxes[m] && f.message == k) reason += f.reason;
                if (m >= mailboxes) {
                    EXPECT_TRUE(reason.empty());
                    EXPECT_FALSE(fs::exists(eml));
                    continue;
                }
                const bool lost = c.wholeTree || (c.inboxChanges && m == 0);
                EXPECT_NE(reason.find(lost ? "could not be kept" : "was kept as"),
                          std::string::npos)
                    << eml;
                EXPECT_EQ(fs::exists(eml), !lost) << eml;
                if (!lost) {
                    ++kept;
                    EXPECT_EQ(readBytes(eml), readBytes(mailboxFolder(ref.emlOut, fx.mailboxes[m]) /
                                                        eml.filename()));
                }
                if (c.inboxChanges && m == 0) {
                    EXPECT_NE(reason.find("changed"), std::string::npos);
                }
            }
        }
        const Notice closing = convert::closingNotice(s);
        EXPECT_EQ(closing.icon, NoticeIcon::Warning);
        EXPECT_EQ(closing.text.find("successfully"), std::string::npos) << closing.text;
        // The messages rescued as .eml files are counted, and where they are is said.
        EXPECT_EQ(s.keptAsEml, kept);
        if (kept > 0) {
            EXPECT_NE(closing.text.find(std::to_string(kept) +
                                        (kept == 1 ? " message was" : " messages were") +
                                        " kept as .eml files instead, in the mailboxes' folders "
                                        "below " +
                                        out.string() + "."),
                      std::string::npos)
                << closing.text;
        }
        const std::string n = std::to_string(3 * mailboxes);
        EXPECT_NE(closing.text.find(n + " of " + n + " messages could not be exported"),
                  std::string::npos)
            << closing.text;
    }
}

// While a store grows, the disk space its close will write (trees, maps, header)
// is already held; after the close, nothing past its end is.
TEST(FaultPst, StoreHoldsTheSpaceItsCloseNeeds) {
    ScratchDir dir;
    const fs::path path = dir.path() / "held.pst";
    {
        const int fd = ::open((dir.path() / "probe").c_str(), O_CREAT | O_WRONLY, 0644);
        const bool canHold = fd >= 0 && ::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, 4096) == 0;
        if (fd >= 0) ::close(fd);
        if (!canHold) GTEST_SKIP() << "this file system holds no space ahead";
    }
    std::string error;
    auto store = pst::Store::create(path, "held", error);
    ASSERT_TRUE(store) << error;
    auto folder = store->addFolder("Inbox", error);
    ASSERT_TRUE(folder) << error;
    // About 0.5 MB of attachment, as base64 lines.
    std::string big;
    for (int i = 0; i < 9000; ++i) big += std::string(76, 'A') + "\r\n";
    std::string bytes = attachmentMessage("big");
    bytes.replace(bytes.find("AAECAwQFBgc="), 12, big);
    pst::Message item;
    ASSERT_TRUE(convert::importMessage(bytes, item, error)) << error;
    auto heldBytes = [&] {
        struct stat st {};
        EXPECT_EQ(::stat(path.c_str(), &st), 0);
        return static_cast<std::uint64_t>(st.st_blocks) * 512;
    };
    for (int i = 0; i < 60; ++i) ASSERT_TRUE(store->addMessage(*folder, item, error)) << error;
    const std::uint64_t held = heldBytes();
    ASSERT_TRUE(store->close(error)) << error;
    const std::uint64_t size = fs::file_size(path);
    EXPECT_GT(size, 30u << 20);
    EXPECT_GE(held, size) << "the close had to find space of its own";
    EXPECT_LE(heldBytes(), size + (1u << 20)) << "space past the end stays held";
    EXPECT_TRUE(pst::check::checkStore(path).clean());
}

std::string formatLabel(const ::testing::TestParamInfo<Format>& p) {
    return p.param == Format::Eml ? "Eml" : p.param == Format::Mbox ? "Mbox" : "Pst";
}

INSTANTIATE_TEST_SUITE_P(Formats, FaultRun, kFormats, formatLabel);

// The mailbox is removed while it is searched (a file cut short on the way is a
// read fault: read_faults_test.cpp). The run ends, names the mailbox, and the
// other mailbox converts in full.
TEST(ChangingMailbox, Vanishes) {
    Fixture fx;
    const fs::path out = fx.dir.path() / "out";
    fs::create_directories(out);
    RecordingObserver observer;
    observer.onStep = [&](const convert::RunProgress& p) {
        if (p.step == convert::RunProgress::Step::Searching) fs::remove(fx.mailboxes[0]);
    };
    const RunSummary s = runOnce(fx.options(Format::Eml, out), &observer);
    SCOPED_TRACE(describeFailures(s));
    EXPECT_TRUE(named(s, fx.mailboxes[0]));
    EXPECT_EQ(failedMessages(s).size(), static_cast<std::size_t>(s.failedMessages));
    EXPECT_FALSE(named(s, fx.mailboxes[1])) << "the other mailbox failed too";
    for (int k = 1; k <= 3; ++k) {
        EXPECT_TRUE(fs::exists(mailboxFolder(out, fx.mailboxes[1]) /
                               ("Email-" + std::to_string(k) + ".eml")));
    }
}

}  // namespace
}  // namespace tp::test
