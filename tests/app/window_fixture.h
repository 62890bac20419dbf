#pragma once
// The main window with scripted dialogs and a scratch folder of its own, and the
// steps of a conversion through it.
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

#include "app/main_window.h"
#include "fake_dialogs.h"
#include "io/paths.h"

namespace tp::app::test {

namespace fs = std::filesystem;

class WindowTest : public ::testing::Test {
  public:
    FakeDialogs fake;  // first: it makes the application the window needs
    MainWindow window;
    TempDir tmp;

    QString label(const char* name) { return child<QLabel>(&window, name)->text(); }
    int bar(const char* name) { return child<QProgressBar>(&window, name)->value(); }
    void click(const char* name) { child<QPushButton>(&window, name)->click(); }
    fs::path out() const { return tmp.path() / "out"; }
    fs::path emlOf(const fs::path& mailbox, int k) const {
        return convert::mailboxOutputFolder(out(), mailbox.string()) /
               ("Email-" + std::to_string(k) + ".eml");
    }
    // Lists the mailboxes through the add command (which enables Convert).
    void list(const std::vector<fs::path>& mailboxes) {
        QStringList paths;
        for (const fs::path& p : mailboxes) paths << QString::fromStdString(p.string());
        fake.fileChoices.push_back(paths);
        click("addFilesButton");
    }
    void convertInto(const fs::path& folder) {
        fs::create_directories(folder);
        fake.folderChoices.push_back(QString::fromStdString(folder.string()));
        click("convertButton");
    }
    bool waitForRun() {
        return pumpUntil([&] { return !window.runInProgress(); });
    }
    // A box with the window's title and the text, icon and buttons given.
    static void expectBox(const Notice& n, const std::string& text, NoticeIcon icon,
                          NoticeButtons buttons = NoticeButtons::Ok) {
        EXPECT_EQ(n.text, text);
        EXPECT_EQ(n.title, "Tessaport PRO");
        EXPECT_EQ(n.icon, icon);
        EXPECT_EQ(n.buttons, buttons);
    }
};

}  // namespace tp::app::test
