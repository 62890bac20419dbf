// The main window as it opens, its exit and help commands, and its look.
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QUrl>

#include "app/file_grid.h"
#include "app/main_window.h"
#include "common/help_links.h"
#include "fake_dialogs.h"

namespace tp::app::test {
namespace {

class MainWindowTest : public ::testing::Test {
  protected:
    MainWindowTest() { ensureApp(); }
    FakeDialogs fake;
    MainWindow window;

    QString text(const char* name) {
        if (auto* l = window.findChild<QLabel*>(QLatin1String(name))) return l->text();
        if (auto* b = window.findChild<QAbstractButton*>(QLatin1String(name))) return b->text();
        if (auto* g = window.findChild<QGroupBox*>(QLatin1String(name))) return g->title();
        ADD_FAILURE() << "no control " << name;
        return {};
    }
    bool enabled(const char* name) { return child<QWidget>(&window, name)->isEnabled(); }
    QRect at(const char* name) { return child<QWidget>(&window, name)->geometry(); }
};

TEST_F(MainWindowTest, OpensWithTheControlsTextsAndStatesOfItsDesign) {
    EXPECT_EQ(window.objectName(), "frmStep1");
    EXPECT_EQ(window.windowTitle(), "Tessaport Pro");
    EXPECT_FALSE(window.windowIcon().isNull());

    // Texts exactly as the program words them.
    EXPECT_EQ(text("cmdAdd"), "Select IncrediMail (*.imm) file(s)...");
    EXPECT_EQ(text("CmdAddFolder"), "Select folder having (*.imm) file(s)...");
    EXPECT_EQ(text("cmdClear1"), "Clear file(s)...");
    EXPECT_EQ(text("lblCount1"), "0 files");
    EXPECT_EQ(text("ChkAttachments"),
              "I have Attachments folder and want to save attachments to exported messages");
    EXPECT_EQ(text("CmdAttachmentBrowse"), "Browse...");
    EXPECT_EQ(text("Frame1"), " I want to convert incredimail messages to");
    EXPECT_EQ(text("OptEML"),
              "(.eml) files          -     (Outlook Express, Windows Mail, Windows Live Mail)");
    EXPECT_EQ(text("OptPST"), "(.pst) files          -     (MS Outlook)");
    EXPECT_EQ(text("OptMBOX"),
              "(.mbox) files      -     (Mac Mail, Thunderbird, Entourage, Evolution)");
    EXPECT_EQ(text("Label4"), "Converting Messages...");
    EXPECT_EQ(text("LblHappening"), "");
    EXPECT_EQ(text("LblProgessCurrent"), "Mailbox  0 (of 0)");
    EXPECT_EQ(text("Label1"), "Reading          :");
    EXPECT_EQ(text("LblIMMFile"), "");
    EXPECT_EQ(text("Label2"), "Emails Found :");
    EXPECT_EQ(text("LblEmlsFound"), "");
    EXPECT_EQ(text("LblProgress"), "Saving :");
    EXPECT_EQ(text("CmdConvert2PDF"), "Convert");
    EXPECT_EQ(text("CmdHelp"), "&Help Manual");
    EXPECT_EQ(text("cmdEnd"), "E&xit");

    // Initial states.
    EXPECT_TRUE(child<QRadioButton>(&window, "OptEML")->isChecked());
    EXPECT_FALSE(child<QRadioButton>(&window, "OptPST")->isChecked());
    EXPECT_FALSE(child<QRadioButton>(&window, "OptMBOX")->isChecked());
    EXPECT_FALSE(child<QCheckBox>(&window, "ChkAttachments")->isChecked());
    EXPECT_FALSE(enabled("txtAttachmentPath"));
    EXPECT_TRUE(child<QLineEdit>(&window, "txtAttachmentPath")->text().isEmpty());
    EXPECT_FALSE(enabled("CmdAttachmentBrowse"));
    EXPECT_FALSE(enabled("CmdConvert2PDF"));
    auto* grid = child<FileGrid>(&window, "grdFiles1");
    EXPECT_EQ(grid->Rows(), 1);
    EXPECT_EQ(grid->Cols(), 1);
    EXPECT_EQ(grid->column0(), QStringList{QString()});
    for (const char* bar : {"ProgressBar1", "ProgressBar2"}) {
        auto* b = child<QProgressBar>(&window, bar);
        EXPECT_EQ(b->minimum(), 0);
        EXPECT_EQ(b->maximum(), 100);
        EXPECT_EQ(b->value(), 0);
    }
}

TEST_F(MainWindowTest, KeepsTheTwipLayoutFontsAndColours) {
    // 8985 x 9540 twips, fixed, without a maximise button.
    EXPECT_EQ(window.minimumSize(), QSize(599, 636));
    EXPECT_EQ(window.maximumSize(), QSize(599, 636));
    EXPECT_FALSE(window.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(window.windowFlags() & Qt::WindowMinimizeButtonHint);

    // A sample of positions, 15 twips to the pixel, parents as designed.
    EXPECT_EQ(at("Image2"), QRect(0, 0, 600, 85));
    EXPECT_EQ(at("cmdAdd"), QRect(16, 96, 193, 25));
    EXPECT_EQ(at("grdFiles1"), QRect(16, 152, 569, 105));
    EXPECT_EQ(at("txtAttachmentPath"), QRect(16, 288, 473, 25));
    EXPECT_EQ(at("Frame1"), QRect(16, 320, 569, 97));
    EXPECT_EQ(at("OptMBOX"), QRect(0, 56, 537, 17));
    EXPECT_EQ(child<QWidget>(&window, "OptMBOX")->parentWidget()->objectName(), "Picture1");
    EXPECT_EQ(at("LblProgessCurrent"), QRect(40, 440, 545, 17));
    EXPECT_EQ(at("ProgressBar1"), QRect(16, 528, 569, 17));
    EXPECT_EQ(at("CmdConvert2PDF"), QRect(208, 552, 185, 29));
    EXPECT_EQ(at("cmdEnd"), QRect(480, 0, 89, 25));
    EXPECT_EQ(child<QWidget>(&window, "cmdEnd")->parentWidget()->objectName(), "Picture3");
    EXPECT_EQ(child<QLabel>(&window, "Image2")->pixmap().size(), QSize(600, 85));
    EXPECT_EQ(child<QLabel>(&window, "Image1")->pixmap().size(), QSize(16, 16));
    EXPECT_EQ(child<QLabel>(&window, "Image3")->pixmap().size(), QSize(16, 16));

    const QFont font = child<QWidget>(&window, "cmdAdd")->font();
    EXPECT_EQ(font.families().value(0), "Tahoma");
    EXPECT_DOUBLE_EQ(font.pointSizeF(), 8.25);
    EXPECT_FALSE(font.bold());
    EXPECT_TRUE(child<QWidget>(&window, "LblHappening")->font().bold());
    EXPECT_TRUE(child<QWidget>(&window, "Label1")->font().bold());
    auto colour = [&](const char* name) {
        return child<QWidget>(&window, name)->palette().color(QPalette::WindowText);
    };
    EXPECT_EQ(colour("LblHappening"), QColor(0, 0, 255));
    EXPECT_EQ(colour("Label1"), QColor(128, 0, 0));
    EXPECT_EQ(colour("Label2"), QColor(128, 0, 0));
    EXPECT_EQ(child<QWidget>(&window, "Line1")->palette().color(QPalette::Window),
              QColor(64, 0, 0));
}

TEST_F(MainWindowTest, ExitAsksFirstAndNoKeepsEverything) {
    window.show();
    window.AddFileToList(QStringLiteral("/m/Inbox.imm"));
    fake.answers = {Answer::No};
    child<QPushButton>(&window, "cmdEnd")->click();
    ASSERT_EQ(fake.boxes.size(), 1u);
    EXPECT_EQ(fake.boxes[0].text, "Are you sure you want to exit now?");
    EXPECT_EQ(fake.boxes[0].title, "Tessaport PRO");
    EXPECT_EQ(fake.boxes[0].icon, NoticeIcon::Question);
    EXPECT_EQ(fake.boxes[0].buttons, NoticeButtons::YesNo);
    EXPECT_TRUE(window.isVisible());
    EXPECT_EQ(text("lblCount1"), "1 files");

    fake.answers = {Answer::Yes};
    child<QPushButton>(&window, "cmdEnd")->click();
    EXPECT_FALSE(window.isVisible());

    // The close box asks nothing.
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
    TempDir elsewhere;
    const QString before = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(QString::fromStdString(elsewhere.path().string())));
    child<QPushButton>(&window, "CmdHelp")->click();
    QDir::setCurrent(before);
    ASSERT_EQ(fake.opened.size(), 1);
    const QUrl url(fake.opened[0]);
    EXPECT_TRUE(url.isLocalFile());
    EXPECT_EQ(url.toLocalFile(), manual);
    EXPECT_TRUE(fake.boxes.empty());

    fake.browser = false;
    child<QPushButton>(&window, "CmdHelp")->click();
    ASSERT_EQ(fake.boxes.size(), 1u);
    EXPECT_NE(fake.boxes[0].text.find(manual.toStdString()), std::string::npos)
        << fake.boxes[0].text;
    EXPECT_NE(fake.boxes[0].text.find("No web browser"), std::string::npos);

    // A real manual beside the program stays; an installed one would be found.
    if (hadManual || QFileInfo::exists(QStringLiteral("/usr/share/doc/tessaport/help.html")))
        return;
    QFile::remove(manual);
    remove.keep = true;
    child<QPushButton>(&window, "CmdHelp")->click();
    EXPECT_EQ(fake.opened.size(), 2);  // nothing opened for a missing manual
    ASSERT_EQ(fake.boxes.size(), 2u);
    EXPECT_NE(fake.boxes[1].text.find("/usr/share/doc/tessaport"), std::string::npos)
        << fake.boxes[1].text;
}

// The window has one size: no Maximize in its title bar, and a maximize asked
// for anyway leaves it as it is.
TEST_F(MainWindowTest, CannotBeMaximized) {
    const Qt::WindowFlags flags = window.windowFlags();
    EXPECT_TRUE(flags & Qt::CustomizeWindowHint);
    EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(flags & Qt::WindowMinimizeButtonHint);
    EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
    window.show();
    const QSize size = window.size();
    window.setWindowState(Qt::WindowMaximized);
    QApplication::processEvents();
    EXPECT_FALSE(window.windowState() & Qt::WindowMaximized);
    EXPECT_EQ(window.size(), size);
}

TEST(ManualTest, HasTheTroubleshootingSectionTheSupportAddressNames) {
    const std::string manual = readFile(std::filesystem::path(TP_SOURCE_DIR) / "docs/help.html");
    EXPECT_NE(manual.find("id=\"troubleshooting\""), std::string::npos);
    // The build puts it beside the program.
    EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(TP_BINARY_DIR) / "bin/help.html"));
}

// An installed program (<prefix>/bin) finds the manual in <prefix>/share/doc/tessaport;
// one in the build tree finds it beside itself, which wins when both are there.
TEST(ManualTest, FoundBesideTheProgramOrInTheInstalledDocumentationFolder) {
    QTemporaryDir prefix;
    ASSERT_TRUE(prefix.isValid());
    const QDir root(prefix.path());
    ASSERT_TRUE(root.mkpath("usr/bin") && root.mkpath("usr/share/doc/tessaport"));
    const QString bin = root.filePath("usr/bin");
    const QString installed = root.filePath("usr/share/doc/tessaport/help.html");
    const QString beside = root.filePath("usr/bin/help.html");
    // The package's folder, for a program started from another folder.
    ASSERT_TRUE(root.mkpath("system"));
    const QString system = root.filePath("system");
    EXPECT_EQ(helpFilePathFor(bin, system), beside);  // none: where the build puts it
    ASSERT_TRUE(QFile(system + "/help.html").open(QIODevice::WriteOnly));
    EXPECT_EQ(helpFilePathFor(bin, system), system + "/help.html");
    ASSERT_TRUE(QFile(installed).open(QIODevice::WriteOnly));
    EXPECT_EQ(helpFilePathFor(bin, system), installed);
    EXPECT_EQ(helpFilePathFor(bin + "/", system), installed);
    ASSERT_TRUE(QFile(beside).open(QIODevice::WriteOnly));
    EXPECT_EQ(helpFilePathFor(bin, system), beside);
}

// Renders the window as a user would see it with two mailboxes listed, for review
// of the look, into the build tree (scripts/screenshots.sh refreshes
// docs/screenshots/main-window.png from it).
TEST_F(MainWindowTest, RendersTheScreenshot) {
    window.AddFileToList(QStringLiteral("/home/ann/IncrediMail/Message Store/Inbox.imm"));
    window.AddFileToList(QStringLiteral("/home/ann/IncrediMail/Message Store/Sent Items.imm"));
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
