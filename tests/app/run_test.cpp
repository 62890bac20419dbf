// Convert through the window: a whole run with its labels, bars and closing box.
#include <QCheckBox>
#include <QRadioButton>
#include <algorithm>

#include "app/run_controller.h"
#include "window_fixture.h"

namespace tp::app::test {
namespace {

class RunTest : public WindowTest {
  public:
    QPushButton* convertButton() { return child<QPushButton>(&window, "convertButton"); }
};

// Without a format only a box appears; a cancelled output folder ends silently.
TEST_F(RunTest, NoFormatOrNoOutputFolderRunsNothing) {
    writeBytes(tmp.path() / "Inbox.imm", mailbox(1));
    list({tmp.path() / "Inbox.imm"});
    fake.folderChoices = {QString()};
    convertButton()->click();
    EXPECT_EQ(fake.prompts, QStringList{"Choose Folder to Save..."});
    EXPECT_FALSE(window.runInProgress());
    EXPECT_TRUE(fake.boxes.empty());
    EXPECT_TRUE(convertButton()->isEnabled());

    for (const char* name : {"emlOption", "pstOption", "mboxOption"}) {
        auto* option = child<QRadioButton>(&window, name);
        option->setAutoExclusive(false);
        option->setChecked(false);
    }
    convertButton()->click();
    ASSERT_EQ(fake.boxes.size(), 1u);
    expectBox(fake.boxes[0], "Please select a option to convert file(s).", NoticeIcon::Information);
    EXPECT_EQ(fake.prompts.size(), 1);
    EXPECT_FALSE(window.runInProgress());
}

// The messages of an mbox file as Python's mailbox module reads them, one line
// each: its Subject and the first line of its body.
std::string mboxMessages(const fs::path& mbox) {
    return tp::test::output(
        "python3 -c \"import mailbox,sys\nfor m in mailbox.mbox(sys.argv[1]):\n"
        " print(m['Subject'] + '|' + m.get_payload().splitlines()[0].strip())\" '" +
        mbox.string() + "'");
}

// Those lines for messages 1..n of mailbox(n).
std::string mboxLines(int n) {
    std::string lines;
    for (int k = 1; k <= n; ++k)
        lines += "Hello " + std::to_string(k) + "|Body of message " + std::to_string(k) + ".\n";
    return lines;
}

TEST_F(RunTest, ConvertsEveryListedMailboxShowingProgressAndTheClosingBox) {
    const fs::path inbox = tmp.path() / "in/Inbox.imm";
    const fs::path sent = tmp.path() / "in/Sent.imm";
    writeBytes(inbox, mailbox(3));
    writeBytes(sent, mailbox(2, "Sent"));
    list({inbox, sent});
    convertInto(out());

    // The run works on its own thread: Convert is blocked meanwhile, and a format
    // chosen now only counts for the next run.
    ASSERT_TRUE(window.runInProgress());
    EXPECT_FALSE(convertButton()->isEnabled());
    child<QRadioButton>(&window, "mboxOption")->setChecked(true);
    ASSERT_TRUE(waitForRun());

    EXPECT_EQ(label("mailboxCountLabel"), "Mailbox 2 (of 2) ");
    EXPECT_EQ(label("mailboxNameLabel"), "Sent.imm");
    EXPECT_EQ(label("activityLabel"), "Found 2 message(s)");
    EXPECT_EQ(label("messagesFoundLabel"), "2 Messages");
    EXPECT_EQ(label("savingLabel"), "Saved 2 Email Messages");
    EXPECT_EQ(bar("runProgressBar"), 100);
    ASSERT_EQ(fake.boxes.size(), 1u);
    EXPECT_EQ(fake.boxes[0].title, "Tessaport");
    EXPECT_EQ(fake.boxes[0].icon, NoticeIcon::Information);
    EXPECT_EQ(fake.boxes[0].text,
              "Your IncrediMail messages has been successfully exported to (.eml) files.\r\n" +
                  std::string(75, '*') + "\r\n");
    EXPECT_TRUE(convertButton()->isEnabled());

    // Each message whole, followed by the writer's line end.
    for (int k = 1; k <= 3; ++k) EXPECT_EQ(readBytes(emlOf(inbox, k)), message(k) + "\r\n");
    for (int k = 1; k <= 2; ++k) EXPECT_EQ(readBytes(emlOf(sent, k)), message(k, "Sent") + "\r\n");
    EXPECT_FALSE(fs::exists(emlOf(inbox, 4)));
    const fs::path folder = convert::mailboxOutputFolder(out(), inbox.string());
    EXPECT_FALSE(fs::exists(folder / "Inbox.mbox"));
    EXPECT_EQ(window.lastSummary().messages, 5);

    // The next run takes the format chosen during this one.
    convertInto(out());
    ASSERT_TRUE(waitForRun());
    ASSERT_EQ(fake.boxes.size(), 2u);
    EXPECT_EQ(fake.boxes[1].text,
              "Your IncrediMail messages has been successfully exported to (.mbox) files.\r\n" +
                  std::string(75, '*') +
                  "\r\nMBOX files are supported Mac Mail, Entourage, Evolution, Thunderbird.");
    EXPECT_EQ(mboxMessages(folder / "Inbox.mbox"), mboxLines(3));
}

// The window's texts come from the run's steps: each step below, sent as the run
// sends it, leaves the labels and the mailbox bar as shown.
TEST_F(RunTest, EachStepOfARunShowsTheWindowsTexts) {
    using Step = convert::RunProgress::Step;
    auto* run = window.findChild<RunController*>();
    ASSERT_NE(run, nullptr);
    // A step of the second of three mailboxes, with the numbers `set` gives it.
    auto step = [](Step kind, const std::function<void(convert::RunProgress&)>& set = {}) {
        convert::RunProgress p;
        p.step = kind;
        p.mailbox = 1;
        p.mailboxes = 3;
        p.name = "Inbox.imm";
        if (set) set(p);
        return p;
    };
    struct Case {
        convert::RunProgress step;
        const char* label;
        QString text;
        int mailboxBar = -1;  // -1: not looked at
    };
    const auto started = step(Step::MailboxStarted), done = step(Step::MailboxDone);
    const auto search = step(Step::Searching, [](auto& p) { p.found = 4, p.searchedPercent = 37; });
    const auto found = step(Step::MessagesFound, [](auto& p) { p.messages = 3; });
    const auto saving =
        step(Step::MessageStarted, [](auto& p) { p.messageBytes = 120, p.mailboxBytes = 4000; });
    const auto written =
        step(Step::MessageWritten, [](auto& p) { p.written = 60, p.toWrite = 240; });
    // Quoting made it longer than the message: the bar stays.
    const auto overlong =
        step(Step::MessageWritten, [](auto& p) { p.written = 250, p.toWrite = 240; });
    const auto saved = step(Step::MessageDone, [](auto& p) { p.stored = true, p.exported = 2; });
    const auto failed = step(Step::MessageDone);
    const std::vector<Case> cases = {
        {started, "activityLabel", "Setting Mail Search Filter..."},
        {started, "savingLabel", ""},
        {search, "activityLabel", "Found 4 message(s)", 37},
        {done, "messagesFoundLabel", "0 Messages"},  // never searched
        {found, "messagesFoundLabel", "3 Messages"},
        {saving, "savingLabel", "Saving: 120 Bytes out of 4000 Total Bytes."},
        {written, "savingLabel", "60 Bytes out of 240 Total Bytes.", 25},
        {overlong, "savingLabel", "250 Bytes out of 240 Total Bytes.", 25},
        {saved, "savingLabel", "Saved 2 Email Messages"},
        {saving, "savingLabel", "Saving: 120 Bytes out of 4000 Total Bytes."},
        {failed, "savingLabel", "Saving: 120 Bytes out of 4000 Total Bytes."},
        {done, "messagesFoundLabel", "3 Messages"},
    };
    for (const Case& c : cases) {
        emit run->progressed(c.step);
        SCOPED_TRACE(c.label);
        EXPECT_EQ(label(c.label), c.text);
        if (c.mailboxBar >= 0) {
            EXPECT_EQ(bar("mailboxProgressBar"), c.mailboxBar);
        }
    }
    EXPECT_EQ(bar("runProgressBar"), 67);  // two of three mailboxes done
}

// The attachments option ticked with no folder named: Convert asks for the folder
// first (nothing runs without one), and the run then takes the files from it.
TEST_F(RunTest, AttachmentsTickedWithoutAFolderAskForItBeforeTheRun) {
    const fs::path inbox = tmp.path() / "Inbox.imm";
    writeBytes(inbox,
               "From: Ann <ann@example.org>\r\nSubject: file\r\nMIME-Version: 1.0\r\n"
               "Content-Type: multipart/mixed; boundary=m\r\n\r\n"
               "--m\r\nContent-Type: text/plain\r\n\r\nSee the file.\r\n"
               "--m\r\nContent-Type: text/plain; name=\"a.txt\"\r\n"
               "Content-Disposition: attachment; filename=\"a.txt\"\r\n\r\n--m--\r\n");
    writeBytes(tmp.path() / "files/a.txt", "the file from the folder");
    list({inbox});
    child<QCheckBox>(&window, "attachmentsCheck")->setChecked(true);

    fake.folderChoices = {QString()};  // the folder dialog cancelled: no run
    convertButton()->click();
    EXPECT_EQ(fake.prompts, QStringList{"Choose Attachments Folder..."});
    EXPECT_FALSE(window.runInProgress());

    fake.prompts.clear();
    fake.folderChoices = {tmp.q("files")};
    convertInto(out());
    EXPECT_EQ(fake.prompts,
              (QStringList{"Choose Attachments Folder...", "Choose Folder to Save..."}));
    ASSERT_TRUE(waitForRun());
    EXPECT_TRUE(has(readBytes(emlOf(inbox, 1)),
                    "dGhlIGZpbGUgZnJvbSB0aGUgZm9sZGVy"));  // the file, in base64
}

// Closing the window during a run stops it after the current message: no closing
// box, and the .mbox holds whole records 1..n.
TEST_F(RunTest, ClosingDuringARunLeavesAWholeMbox) {
    const int total = 100000;  // still going when the close comes, however fast the machine
    const fs::path big = tmp.path() / "Big.imm";
    writeBytes(big, mailbox(total));
    list({big});
    child<QRadioButton>(&window, "mboxOption")->setChecked(true);
    convertInto(out());
    // "Saved" shows only after the first writes.
    ASSERT_TRUE(pumpUntil([&] {
        return label("messagesFoundLabel") == QString::number(total) + " Messages" &&
               label("savingLabel").startsWith("Saved ");
    }));
    window.show();
    window.close();
    EXPECT_FALSE(window.runInProgress());
    EXPECT_TRUE(window.lastSummary().cancelled);
    EXPECT_TRUE(fake.boxes.empty());
    const fs::path folder = convert::mailboxOutputFolder(out(), big.string());
    const std::string got = mboxMessages(folder / "Big.mbox");
    const auto n = static_cast<int>(std::count(got.begin(), got.end(), '\n'));
    EXPECT_GE(n, 1);
    EXPECT_LT(n, total);
    EXPECT_TRUE(got == mboxLines(n)) << "not whole records 1.." << n;
}

TEST_F(RunTest, PstStoreThatCannotBeCreatedShowsTheOutlookErrorPointingToTheManual) {
    writeBytes(tmp.path() / "Inbox.imm", mailbox(1));
    writeBytes(tmp.path() / "not-a-folder", "x");
    list({tmp.path() / "Inbox.imm"});
    child<QRadioButton>(&window, "pstOption")->setChecked(true);
    fake.folderChoices = {tmp.q("not-a-folder")};
    convertButton()->click();
    ASSERT_TRUE(waitForRun());
    ASSERT_EQ(fake.boxes.size(), 1u);
    EXPECT_EQ(fake.boxes[0].title, "Outlook Error");
    EXPECT_TRUE(startsWith(fake.boxes[0].text, "Outlook Session Creation Error !\r\n"));
    EXPECT_TRUE(has(fake.boxes[0].text, "Not a directory"));
    EXPECT_EQ(window.lastSummary().mailboxes, 0);  // nothing converted
    EXPECT_EQ(window.lastSummary().messages, 0);
    EXPECT_EQ(label("mailboxCountLabel"), "Mailbox  0 (of 0)");
}

}  // namespace
}  // namespace tp::app::test
