#pragma once
// Test support for the main window: a QApplication, a scripted Dialogs that
// answers every box and dialog without waiting, and small helpers.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QWidget>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "dialogs/dialogs.h"
#include "support/support.h"

namespace tp::app::test {

inline QApplication& ensureApp() {
    static int argc = 1;
    static char name[] = "tp_app_tests";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

// Answers are queued by the test; a box or dialog that nobody scripted is a test
// failure (and is answered No / cancelled).
class FakeDialogs final : public Dialogs {
  public:
    FakeDialogs() {
        ensureApp();  // the fixture's first member: the window comes after it
        real_ = &dialogs();
        setDialogs(this);
    }
    ~FakeDialogs() override { setDialogs(nullptr); }

    std::vector<Notice> boxes;
    std::deque<Answer> answers;  // for Yes/No boxes
    std::deque<QStringList> fileChoices;
    std::deque<QString> folderChoices;
    QStringList filters;
    QStringList prompts;
    QStringList opened;
    std::function<void(const Notice&)> onBox;
    // Boxes opened without blocking the window (the run's notices). Answered at
    // once unless `holdOpen` is set; then they wait in `open` for answerOpen().
    bool holdOpen = false;
    bool realOpenBoxes = false;  // show them as the real dialogs do, unscripted
    std::deque<std::function<void(Answer)>> open;
    std::vector<Notice> openedBoxes;  // every such box, in order

    Answer messageBox(QWidget*, const Notice& notice) override {
        boxes.push_back(notice);
        if (onBox) onBox(notice);
        if (notice.buttons == NoticeButtons::Ok) return Answer::Ok;
        if (answers.empty()) {
            ADD_FAILURE() << "unexpected question: " << notice.text;
            return Answer::No;
        }
        Answer a = answers.front();
        answers.pop_front();
        return a;
    }
    QWidget* openMessageBox(QWidget* parent, const Notice& notice,
                            std::function<void(Answer)> answered) override {
        boxes.push_back(notice);
        openedBoxes.push_back(notice);
        if (onBox) onBox(notice);
        if (realOpenBoxes) return real_->openMessageBox(parent, notice, std::move(answered));
        if (holdOpen)
            open.push_back(std::move(answered));
        else
            answered(Answer::Ok);
        return nullptr;
    }
    // Answers the oldest box still open; false when none is.
    bool answerOpen() {
        if (open.empty()) return false;
        auto answered = std::move(open.front());
        open.pop_front();
        answered(Answer::Ok);
        return true;
    }
    QStringList openFileNames(QWidget*, const QString& filter) override {
        filters << filter;
        if (fileChoices.empty()) {
            ADD_FAILURE() << "unexpected file dialog";
            return {};
        }
        QStringList c = fileChoices.front();
        fileChoices.pop_front();
        return c;
    }
    QString browseForFolder(QWidget*, const QString& prompt) override {
        prompts << prompt;
        if (folderChoices.empty()) {
            ADD_FAILURE() << "unexpected folder dialog: " << prompt.toStdString();
            return {};
        }
        QString c = folderChoices.front();
        folderChoices.pop_front();
        return c;
    }
    // Input boxes: title, prompt and default answer of each; the answers queued
    // (nullopt: the user cancels; none left: cancelled too).
    std::vector<QStringList> inputs;
    std::deque<std::optional<QString>> inputAnswers;
    QString inputBox(QWidget*, const QString& title, const QString& prompt, const QString& def,
                     bool* ok) override {
        inputs.push_back({title, prompt, def});
        std::optional<QString> a;
        if (!inputAnswers.empty()) {
            a = inputAnswers.front();
            inputAnswers.pop_front();
        }
        if (ok) *ok = a.has_value();
        return a.value_or(QString());
    }
    int beeps = 0;  // bare beeps, without a box
    void beep() override { ++beeps; }
    bool browser = true;  // whether a program opens the documents
    bool openDocument(const QString& pathOrUrl) override {
        opened << pathOrUrl;
        return browser;
    }

  private:
    Dialogs* real_ = nullptr;
};

template <class W>
W* child(QWidget* window, const char* name) {
    W* w = window->findChild<W*>(QString::fromLatin1(name));
    EXPECT_NE(w, nullptr) << name;
    return w;
}

// Processes window events until `done` holds; a safety limit keeps a broken run
// from hanging the suite.
inline bool pumpUntil(const std::function<bool()>& done, int limitMs = 120000) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > limitMs) return false;
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

using tp::test::has;
using tp::test::readBytes;
using tp::test::startsWith;
using tp::test::writeBytes;

// A scratch folder named after the test (its paths show in the pictures of the
// window), with its paths as the window takes them.
class TempDir : public tp::test::ScratchDir {
  public:
    TempDir() : ScratchDir(std::string("tp-app-") + testName()) {}
    static std::string testName() {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = info->name();
        // A render run only by scripts/screenshots.sh keeps the folder name it shows.
        if (name.rfind("DISABLED_", 0) == 0) name.erase(0, 9);
        return std::string(info->test_suite_name()) + "-" + name;
    }
    QString q(const std::string& rel = {}) const {
        return QString::fromStdString((rel.empty() ? path() : path() / rel).string());
    }
};

// One message as IncrediMail stores it (CR LF line ends).
inline std::string message(int k, const std::string& subject = "Hello") {
    return "Return-Path: <ann@example.org>\r\n"
           "From: Ann <ann@example.org>\r\n"
           "To: Bob <bob@example.org>\r\n"
           "Subject: " +
           subject + " " + std::to_string(k) +
           "\r\n"
           "Date: Mon, 3 Jan 2011 10:0" +
           std::to_string(k % 10) +
           ":00 +0100\r\n"
           "MIME-Version: 1.0\r\n"
           "Content-Type: text/plain; charset=us-ascii\r\n"
           "\r\n"
           "Body of message " +
           std::to_string(k) +
           ".\r\n"
           "Second line.\r\n";
}

inline std::string mailbox(int messages, const std::string& subject = "Hello") {
    std::string out;
    for (int k = 1; k <= messages; ++k) out += message(k, subject);
    return out;
}

}  // namespace tp::app::test
