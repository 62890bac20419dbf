#pragma once
// A QApplication and a scripted Dialogs that answers every box and dialog at once.
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
    // Boxes opened without blocking the window (the run's notices): answered at
    // once, or shown as the real dialogs do, unscripted.
    bool realOpenBoxes = false;

    // The next queued answer; none queued is a failure (and No, or cancelled).
    template <class T>
    static T take(std::deque<T>& queue, T none, const std::string& what) {
        if (queue.empty()) {
            ADD_FAILURE() << "unexpected " << what;
            return none;
        }
        T a = std::move(queue.front());
        queue.pop_front();
        return a;
    }
    Answer messageBox(QWidget*, const Notice& notice) override {
        boxes.push_back(notice);
        if (notice.buttons == NoticeButtons::Ok) return Answer::Ok;
        return take(answers, Answer::No, "question: " + notice.text);
    }
    QWidget* openMessageBox(QWidget* parent, const Notice& notice,
                            std::function<void(Answer)> answered) override {
        boxes.push_back(notice);
        if (realOpenBoxes) return real_->openMessageBox(parent, notice, std::move(answered));
        answered(Answer::Ok);
        return nullptr;
    }
    QStringList openFileNames(QWidget*, const QString& filter) override {
        filters << filter;
        return take(fileChoices, QStringList(), "file dialog");
    }
    QString browseForFolder(QWidget*, const QString& prompt) override {
        prompts << prompt;
        return take(folderChoices, QString(), "folder dialog: " + prompt.toStdString());
    }
    // Input boxes: title, prompt and default answer of each; the answers queued
    // (nullopt: the user cancels; none left: cancelled too).
    std::vector<QStringList> inputs;
    std::deque<std::optional<QString>> inputAnswers;
    QString inputBox(QWidget*, const QString& title, const QString& prompt, const QString& def,
                     bool* ok) override {
        inputs.push_back({title, prompt, def});
        const std::optional<QString> a =
            inputAnswers.empty() ? std::nullopt : take(inputAnswers, {}, "");
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

// Processes window events until `done` holds (two minutes at most).
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

// A scratch folder named after the test (its paths show in the window's pictures).
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
    const std::string n = std::to_string(k), date = "Mon, 3 Jan 2011 10:0" + std::to_string(k % 10);
    return "Return-Path: <ann@example.org>\r\nFrom: Ann <ann@example.org>\r\n"
           "To: Bob <bob@example.org>\r\nSubject: " +
           subject + " " + n + "\r\nDate: " + date +
           ":00 +0100\r\nMIME-Version: 1.0\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\n"
           "Body of message " +
           n + ".\r\nSecond line.\r\n";
}

inline std::string mailbox(int messages, const std::string& subject = "Hello") {
    std::string out;
    for (int k = 1; k <= messages; ++k) out += message(k, subject);
    return out;
}

}  // namespace tp::app::test
