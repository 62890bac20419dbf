// The main window as it opens, its exit and help commands, and its look.
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLineEdit>
#include <QRadioButton>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QUrl>

#include "app/mailbox_list.h"
#include "common/help_links.h"
#include "window_fixture.h"

namespace tp::app::test {
namespace {

class MainWindowTest : public WindowTest {
  protected:
    QString text(const char* name) {
        if (auto* l = window.findChild<QLabel*>(QLatin1String(name))) return l->text();
        if (auto* b = window.findChild<QAbstractButton*>(QLatin1String(name))) return b->text();
        if (auto* g = window.findChild<QGroupBox*>(QLatin1String(name))) return g->title();
        ADD_FAILURE() << "no control " << name;
        return {};
    }
    bool enabled(const char* name) { return child<QWidget>(&window, name)->isEnabled(); }
};

// Every text exactly as the program words it, and the state each control opens in.
TEST_F(MainWindowTest, OpensWithTheControlsTextsAndStatesOfItsDesign) {
    EXPECT_EQ(window.objectName(), "mainWindow");
    EXPECT_EQ(window.windowTitle(), "Tessaport Pro");
    EXPECT_FALSE(window.windowIcon().isNull());
    const std::pair<const char*, const char*> texts[] = {
        {"addFilesButton", "Select IncrediMail (*.imm) file(s)..."},
        {"addFolderButton", "Select folder having (*.imm) file(s)..."},
        {"clearListButton", "Clear file(s)..."},
        {"fileCountLabel", "0 files"},
        {"attachmentsCheck",
         "I have Attachments folder and want to save attachments to exported messages"},
        {"attachmentBrowseButton", "Browse..."},
        {"formatGroup", " I want to convert incredimail messages to"},
        {"emlOption",
         "(.eml) files          -     (Outlook Express, Windows Mail, Windows Live Mail)"},
        {"pstOption", "(.pst) files          -     (MS Outlook)"},
        {"mboxOption", "(.mbox) files      -     (Mac Mail, Thunderbird, Entourage, Evolution)"},
        {"convertingCaption", "Converting Messages..."},
        {"activityLabel", ""},
        {"mailboxCountLabel", "Mailbox  0 (of 0)"},
        {"readingCaption", "Reading          :"},
        {"mailboxNameLabel", ""},
        {"foundCaption", "Emails Found :"},
        {"messagesFoundLabel", ""},
        {"savingLabel", "Saving :"},
        {"convertButton", "Convert"},
        {"helpButton", "&Help Manual"},
        {"exitButton", "E&xit"}};
    for (const auto& [name, words] : texts) EXPECT_EQ(text(name), words) << name;

    EXPECT_TRUE(child<QRadioButton>(&window, "emlOption")->isChecked());
    EXPECT_FALSE(child<QRadioButton>(&window, "pstOption")->isChecked());
    EXPECT_FALSE(child<QRadioButton>(&window, "mboxOption")->isChecked());
    EXPECT_FALSE(child<QCheckBox>(&window, "attachmentsCheck")->isChecked());
    for (const char* off : {"attachmentFolderEdit", "attachmentBrowseButton", "convertButton"})
        EXPECT_FALSE(enabled(off)) << off;
    EXPECT_TRUE(child<QLineEdit>(&window, "attachmentFolderEdit")->text().isEmpty());
    EXPECT_EQ(child<MailboxList>(&window, "mailboxList")->paths(), QStringList{QString()});
}

// The window has one size: no Maximize in its title bar, and a maximize asked for
// anyway leaves it as it is. Exit asks first; the close box asks nothing.
TEST_F(MainWindowTest, CannotBeMaximizedAndExitAsksFirst) {
    const Qt::WindowFlags flags = window.windowFlags();
    EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(flags & Qt::WindowMinimizeButtonHint);
    EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
    EXPECT_EQ(window.minimumSize(), QSize(599, 636));
    EXPECT_EQ(window.maximumSize(), QSize(599, 636));
    window.show();
    const QSize size = window.size();
    window.setWindowState(Qt::WindowMaximized);
    QApplication::processEvents();
    EXPECT_FALSE(window.windowState() & Qt::WindowMaximized);
    EXPECT_EQ(window.size(), size);

    window.addFileToList(QStringLiteral("/m/Inbox.imm"));
    fake.answers = {Answer::No};
    click("exitButton");
    ASSERT_EQ(fake.boxes.size(), 1u);
    expectBox(fake.boxes[0], "Are you sure you want to exit now?", NoticeIcon::Question,
              NoticeButtons::YesNo);
    EXPECT_TRUE(window.isVisible());
    EXPECT_EQ(text("fileCountLabel"), "1 files");

    fake.answers = {Answer::Yes};
    click("exitButton");
    EXPECT_FALSE(window.isVisible());

    window.show();
    window.close();
    EXPECT_FALSE(window.isVisible());
    EXPECT_EQ(fake.boxes.size(), 2u);
}

// The manual is found beside the program whatever the current folder; without
// a browser, or without the manual, a box says where it is or should be.
TEST_F(MainWindowTest, HelpOpensTheManualOrSaysWhereItIs) {
    const QString manual = QDir(QCoreApplication::applicationDirPath()).filePath("help.html");
    const bool hadManual = QFileInfo::exists(manual);
    struct Remove {
        QString path;
        bool keep;
        ~Remove() {
            if (!keep) QFile::remove(path);
        }
    } remove{manual, hadManual};
    if (!hadManual) {
        QFile file(manual);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }
    const QString before = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(tmp.q()));
    click("helpButton");
    QDir::setCurrent(before);
    ASSERT_EQ(fake.opened.size(), 1);
    const QUrl url(fake.opened[0]);
    EXPECT_EQ(url.toLocalFile(), manual);
    EXPECT_TRUE(fake.boxes.empty());

    fake.browser = false;
    click("helpButton");
    ASSERT_EQ(fake.boxes.size(), 1u);
    EXPECT_TRUE(has(fake.boxes[0].text, manual.toStdString()));
    EXPECT_TRUE(has(fake.boxes[0].text, "No web browser"));

    // A real manual beside the program stays; an installed one would be found.
    if (hadManual || QFileInfo::exists(QStringLiteral("/usr/share/doc/tessaport/help.html")))
        return;
    QFile::remove(manual);
    remove.keep = true;
    click("helpButton");
    EXPECT_EQ(fake.opened.size(), 2);  // nothing opened for a missing manual
    ASSERT_EQ(fake.boxes.size(), 2u);
    EXPECT_TRUE(has(fake.boxes[1].text, "/usr/share/doc/tessaport"));
}

TEST(ManualTest, HasTheTroubleshootingSectionTheSupportAddressNames) {
    const std::string manual = readBytes(std::filesystem::path(TP_SOURCE_DIR) / "docs/help.html");
    EXPECT_TRUE(has(manual, "id=\"troubleshooting\""));
    // The build puts it beside the program.
    EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(TP_BINARY_DIR) / "bin/help.html"));
}

// An installed program (<prefix>/bin) finds the manual in <prefix>/share/doc/tessaport;
// one in the build tree finds it beside itself, which wins when both are there.
TEST(ManualTest, FoundBesideTheProgramOrInTheInstalledDocumentationFolder) {
    QTemporaryDir prefix;
    ASSERT_TRUE(prefix.isValid());
    const QDir root(prefix.path());
    // "system": the package's folder, for a program started from another folder.
    ASSERT_TRUE(root.mkpath("usr/bin") && root.mkpath("usr/share/doc/tessaport") &&
                root.mkpath("system"));
    const QString bin = root.filePath("usr/bin"), system = root.filePath("system");
    const QString installed = root.filePath("usr/share/doc/tessaport/help.html");
    const QString beside = root.filePath("usr/bin/help.html");
    EXPECT_EQ(helpFilePathFor(bin, system), beside);  // none: where the build puts it
    ASSERT_TRUE(QFile(system + "/help.html").open(QIODevice::WriteOnly));
    EXPECT_EQ(helpFilePathFor(bin, system), system + "/help.html");
    ASSERT_TRUE(QFile(installed).open(QIODevice::WriteOnly));
    EXPECT_EQ(helpFilePathFor(bin, system), installed);
    EXPECT_EQ(helpFilePathFor(bin + "/", system), installed);
    ASSERT_TRUE(QFile(beside).open(QIODevice::WriteOnly));
    EXPECT_EQ(helpFilePathFor(bin, system), beside);
}

// Renders the window with two mailboxes for scripts/screenshots.sh (not run by the suite).
TEST_F(MainWindowTest, DISABLED_RendersTheScreenshot) {
    window.addFileToList(QStringLiteral("/home/ann/IncrediMail/Message Store/Inbox.imm"));
    window.addFileToList(QStringLiteral("/home/ann/IncrediMail/Message Store/Sent Items.imm"));
    window.show();
    QApplication::processEvents();
    const QImage image = window.grab().toImage();
    EXPECT_EQ(image.size(), QSize(599, 636));
    const QString dir = QStringLiteral(TP_BINARY_DIR "/screenshots");
    QDir().mkpath(dir);
    EXPECT_TRUE(image.save(dir + QStringLiteral("/main-window.png")));
}

}  // namespace
}  // namespace tp::app::test
