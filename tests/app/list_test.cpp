// The mailbox list commands, the folder command over real trees, dropping, and
// the attachments option.
#include <QCheckBox>
#include <QDropEvent>
#include <QLineEdit>
#include <QMimeData>
#include <QScrollBar>
#include <QUrl>
#include <cstdlib>

#include "app/mailbox_list.h"
#include "window_fixture.h"

namespace tp::app::test {
namespace {

class ListTest : public WindowTest {
  protected:
    MailboxList* grid() { return child<MailboxList>(&window, "mailboxList"); }
    QString count() { return label("fileCountLabel"); }
    bool convertEnabled() { return child<QPushButton>(&window, "convertButton")->isEnabled(); }
};

// Clear asks only when there is something to clear, and keeps Convert as it was.
TEST_F(ListTest, AddCommandAppendsEveryNewChoiceInOrderAndCountsAndClearEmptiesTheList) {
    click("clearListButton");
    fake.fileChoices = {{}};  // cancelled
    click("addFilesButton");
    EXPECT_EQ(fake.filters, QStringList{"IncrediMail Mailbox (*.imm)"});
    EXPECT_EQ(count(), "0 files");
    EXPECT_FALSE(convertEnabled());
    EXPECT_TRUE(fake.boxes.empty());

    fake.fileChoices = {{"/m/Inbox.imm"}};
    click("addFilesButton");
    EXPECT_EQ(grid()->paths(), QStringList{"/m/Inbox.imm"});
    EXPECT_EQ(count(), "1 files");
    EXPECT_TRUE(convertEnabled());

    fake.fileChoices = {{"/m/Sent.imm", "/n/ Odd name .IMM"}};
    click("addFilesButton");
    EXPECT_EQ(grid()->paths(), (QStringList{"/m/Inbox.imm", "/m/Sent.imm", "/n/ Odd name .IMM"}));
    EXPECT_EQ(count(), "3 files");
    EXPECT_TRUE(fake.boxes.empty());

    fake.answers = {Answer::No};
    click("clearListButton");
    ASSERT_EQ(fake.boxes.size(), 1u);
    expectBox(fake.boxes[0], "Do you want to clear all the files in the list\r\n Proceed?",
              NoticeIcon::Question, NoticeButtons::YesNo);
    EXPECT_EQ(grid()->rowCount(), 3);

    fake.answers = {Answer::Yes};
    click("clearListButton");
    EXPECT_EQ(grid()->rowCount(), 1);
    EXPECT_EQ(grid()->paths(), QStringList{QString()});
    EXPECT_EQ(count(), "0 files");
    EXPECT_TRUE(convertEnabled());

    // The next addition fills row 0 again.
    window.addFileToList("/m/d.imm");
    EXPECT_EQ(grid()->paths(), QStringList{"/m/d.imm"});
    EXPECT_EQ(count(), "1 files");
}

// A mailbox file already in the list, by whatever path (a link, "..", a second
// choice), is not added again: it would be converted twice. One box names them.
TEST_F(ListTest, AMailboxAlreadyListedIsNotAddedAgain) {
    writeBytes(tmp.path() / "Mail/Inbox.imm", "x");
    writeBytes(tmp.path() / "Mail/Sent.imm", "x");
    std::filesystem::create_symlink(tmp.path() / "Mail/Inbox.imm", tmp.path() / "Link.imm");
    fake.fileChoices = {{tmp.q("Mail/Inbox.imm")}};
    click("addFilesButton");
    fake.fileChoices = {{tmp.q("Link.imm"), tmp.q("Mail/Sent.imm"), tmp.q("Mail/../Mail/Inbox.imm"),
                         tmp.q("Mail/Sent.imm")}};
    click("addFilesButton");
    EXPECT_EQ(grid()->paths(), (QStringList{tmp.q("Mail/Inbox.imm"), tmp.q("Mail/Sent.imm")}));
    EXPECT_EQ(count(), "2 files");
    ASSERT_EQ(fake.boxes.size(), 1u);
    EXPECT_EQ(fake.boxes[0].text,
              "Already in the list, not added again (a mailbox is converted once):\r\n" +
                  (tmp.q("Link.imm") + "\r\n" + tmp.q("Mail/../Mail/Inbox.imm") + "\r\n" +
                   tmp.q("Mail/Sent.imm"))
                      .toStdString());
    // Dropped files are held to the same rule.
    window.addDroppedPaths({tmp.q("Link.imm")});
    EXPECT_EQ(count(), "2 files");
    EXPECT_EQ(fake.boxes.size(), 2u);
}

// Five mailboxes (one name ends in a blank) and files that are not mailboxes.
void makeTree(const std::filesystem::path& root) {
    for (const char* f : {"a.imm", "notes.txt", "X/b.imm", "X/b.imm.bak", "Y/INBOX.IMM",
                          "Y/Sent.imm ", "Y/Z/d.imm"})
        writeBytes(root / "Mail" / f, "x");
}

TEST_F(ListTest, APathWiderThanTheListCanBeScrolledToItsEnd) {
    const QString longPath = QStringLiteral("/home/ann/") + QString(30, QLatin1Char('d')) +
                             QStringLiteral("/IncrediMail/Identities/") + QString(60, u'x') +
                             QStringLiteral("/Message Store/The last folder of all/Inbox.imm");
    window.show();
    window.addFileToList(QStringLiteral("/m/Short.imm"));
    QApplication::processEvents();
    QScrollBar* bar = grid()->horizontalScrollBar();
    // While the paths fit, the column fills the list and there is no scroll bar.
    EXPECT_EQ(grid()->columnWidth(0), grid()->viewport()->width());
    EXPECT_FALSE(bar->isVisible());
    window.addFileToList(longPath);
    QApplication::processEvents();

    // The whole path, scrolled by pixels (by items would jump past its end).
    const int textWidth = grid()->fontMetrics().horizontalAdvance(longPath);
    EXPECT_GE(grid()->columnWidth(0), textWidth);
    EXPECT_TRUE(bar->isVisible());
    EXPECT_EQ(bar->maximum(), grid()->columnWidth(0) - grid()->viewport()->width());
    bar->setValue(bar->maximum());
    const QRect cell = grid()->visualRect(grid()->model()->index(1, 0));
    EXPECT_GE(cell.right(), textWidth - bar->maximum() - 1);
    EXPECT_LE(cell.right(), grid()->viewport()->width());

    // An emptied list has no scroll bar again.
    fake.answers = {Answer::Yes};
    click("clearListButton");
    QApplication::processEvents();
    EXPECT_EQ(grid()->columnWidth(0), grid()->viewport()->width());
    EXPECT_FALSE(bar->isVisible());
}

TEST_F(ListTest, FolderCommandAndDropAddEveryMailboxBelowTheFolderBreadthFirst) {
    makeTree(tmp.path());
    window.addFileToList("/earlier.imm");
    fake.folderChoices = {tmp.q("Mail")};
    click("addFolderButton");
    EXPECT_EQ(fake.prompts, QStringList{"Choose Source Folder..."});
    const QString m = tmp.q("Mail") + "/";
    EXPECT_EQ(grid()->paths(),
              (QStringList{"/earlier.imm", m + "a.imm", m + "X/b.imm", m + "Y/INBOX.IMM",
                           m + "Y/Sent.imm ", m + "Y/Z/d.imm"}));
    EXPECT_EQ(count(), "6 files");
    EXPECT_TRUE(convertEnabled());
    ASSERT_EQ(fake.boxes.size(), 1u);
    expectBox(fake.boxes[0], "5 Files Added to List.", NoticeIcon::None);

    // A chosen path that already ends in the separator gets no second one.
    window.clearFileList();
    fake.folderChoices = {tmp.q("Mail/Y/Z/")};
    click("addFolderButton");
    EXPECT_EQ(grid()->paths(), QStringList{m + "Y/Z/d.imm"});
    EXPECT_EQ(fake.boxes.back().text, "1 Files Added to List.");

    // A folder added again adds none of its mailboxes a second time, and says so.
    fake.folderChoices = {tmp.q("Mail/Y")};
    click("addFolderButton");
    EXPECT_EQ(grid()->paths(),
              (QStringList{m + "Y/Z/d.imm", m + "Y/INBOX.IMM", m + "Y/Sent.imm "}));
    EXPECT_EQ(fake.boxes.back().text,
              "2 Files Added to List.\r\n1 of the folder's mailboxes was in the list already and "
              "was not added again.");

    // A folder without mailboxes adds none and disables Convert; cancelled, nothing changes.
    writeBytes(tmp.path() / "Empty/readme.txt", "x");
    fake.folderChoices = {tmp.q("Empty"), QString()};
    click("addFolderButton");
    EXPECT_EQ(fake.boxes.back().text, "0 Files Added to List.");
    EXPECT_FALSE(convertEnabled());
    EXPECT_EQ(count(), "3 files");
    const std::size_t boxes = fake.boxes.size();
    click("addFolderButton");
    EXPECT_EQ(fake.boxes.size(), boxes);
    EXPECT_EQ(count(), "3 files");

    // Dropped files and folders are added as the add commands would add them.
    writeBytes(tmp.path() / "loose/Extra.imm", "x");
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(tmp.q("loose/Extra.imm")),
                  QUrl::fromLocalFile(tmp.q("Mail/notes.txt")),
                  QUrl::fromLocalFile(tmp.q("Mail/X"))});
    window.show();
    QWidget* viewport = grid()->viewport();
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(viewport, &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(viewport, &drop);
    EXPECT_EQ(grid()->paths(), (QStringList{m + "Y/Z/d.imm", m + "Y/INBOX.IMM", m + "Y/Sent.imm ",
                                            tmp.q("loose/Extra.imm"), m + "X/b.imm"}));
    EXPECT_EQ(fake.boxes.back().text, "1 Files Added to List.");  // the folder's count box
    EXPECT_EQ(fake.boxes.size(), boxes + 1);
    EXPECT_TRUE(convertEnabled());
}

// Nested folders below `base` whose deepest path is as long as the system accepts:
// it can be looked at but not listed (for root too). mkdir makes them one by one.
void makeTooDeep(const std::filesystem::path& base) {
    std::string below;
    std::size_t left = 4095 - base.string().size() - 1;  // PATH_MAX less the NUL and a "/"
    for (; left > 255; left -= 201) below += std::string(200, 'd') + "/";
    below += std::string(left, 'd');
    ASSERT_EQ(std::system(("cd '" + base.string() + "' && mkdir -p " + below).c_str()), 0);
}

TEST_F(ListTest, FolderThatCannotBeListedIsReportedAndAddsNothing) {
    writeBytes(tmp.path() / "Mail/a.imm", "x");
    makeTooDeep(tmp.path() / "Mail");
    fake.folderChoices = {tmp.q("Mail")};
    click("addFolderButton");
    // Too deep for a removal by whole paths; rm works through handles.
    ASSERT_EQ(std::system(("rm -rf '" + (tmp.path() / "Mail").string() + "'").c_str()), 0);

    ASSERT_EQ(fake.boxes.size(), 1u);
    EXPECT_EQ(fake.boxes[0].icon, NoticeIcon::Exclamation);
    EXPECT_EQ(fake.boxes[0].title, "Tessaport PRO");
    EXPECT_TRUE(has(fake.boxes[0].text, "could not be read"));
    EXPECT_EQ(count(), "0 files");
    EXPECT_FALSE(convertEnabled());
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

TEST_F(ListTest, AttachmentsOptionEnablesItsControlsAndBrowseFillsTheFolder) {
    auto* tick = child<QCheckBox>(&window, "attachmentsCheck");
    auto* path = child<QLineEdit>(&window, "attachmentFolderEdit");
    auto* browse = child<QPushButton>(&window, "attachmentBrowseButton");

    tick->click();
    EXPECT_TRUE(path->isEnabled());
    EXPECT_TRUE(browse->isEnabled());

    fake.folderChoices = {"/home/ann/IM/Attachments"};
    browse->click();
    EXPECT_EQ(fake.prompts, QStringList{"Choose Attachments Folder..."});
    EXPECT_EQ(path->text(), "/home/ann/IM/Attachments/");

    fake.folderChoices = {QString()};  // cancelled keeps the text
    browse->click();
    EXPECT_EQ(path->text(), "/home/ann/IM/Attachments/");

    fake.folderChoices = {"/"};  // a root keeps its one separator
    browse->click();
    EXPECT_EQ(path->text(), "/");

    path->setText("/typed/by/hand");
    tick->click();
    EXPECT_FALSE(path->isEnabled());
    EXPECT_FALSE(browse->isEnabled());
    EXPECT_EQ(path->text(), "/typed/by/hand");
    EXPECT_TRUE(fake.boxes.empty());
}

}  // namespace
}  // namespace tp::app::test
