// The real dialogs as a user sees them, offscreen: their lines, and that every box
// keeps within the screen however long its text.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFontMetrics>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>

#include "dialogs/qt_dialogs.h"

namespace tp::app {
namespace {

QApplication& qapp() {
    static int argc = 1;
    static char arg0[] = "tp_dialogs_tests";
    static char* argv[] = {arg0, nullptr};
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static auto* app = new QApplication(argc, argv);
    return *app;
}

class DialogsTest : public ::testing::Test {
  protected:
    void SetUp() override { qapp(); }
    static QRect screen() { return QGuiApplication::primaryScreen()->availableGeometry(); }
    // Shown as the user would see it; the whole box and each of its buttons on screen.
    static ::testing::AssertionResult onScreen(QWidget* box) {
        box->show();
        QApplication::processEvents();
        if (!screen().contains(box->frameGeometry()))
            return ::testing::AssertionFailure()
                   << "box " << box->frameGeometry().width() << "x" << box->frameGeometry().height()
                   << " on " << screen().width() << "x" << screen().height();
        for (const QPushButton* b : box->findChildren<QPushButton*>()) {
            if (!screen().contains(QRect(b->mapToGlobal(QPoint(0, 0)), b->size())))
                return ::testing::AssertionFailure() << "button " << b->text().toStdString();
        }
        return ::testing::AssertionSuccess();
    }
};

TEST_F(DialogsTest, EveryLineBreakStartsALine) {
    EXPECT_EQ(displayLines("a\r\rb\r\nc\nd\r\r\re"), "a\n\nb\nc\nd\n\n\ne");
    EXPECT_EQ(displayLines("no break"), "no break");
}

TEST_F(DialogsTest, FittedLinesKeepEveryCharacterAndStayWithinTheWidth) {
    const QFontMetrics metrics(QApplication::font());
    const int width = 200;
    const QString words = QStringLiteral("Replace string \"") + QString(40, u'x') +
                          QStringLiteral(" and some words after it\" with following string :");
    const QString path =
        QStringLiteral("/home/ann/") + QString(90, u'p') + QStringLiteral("/x.imm");
    for (const QString& text : {words, path, QStringLiteral("short\n\nlines\nstay")}) {
        const QString fitted = fitLines(text, metrics, width);
        EXPECT_EQ(QString(fitted).remove(u'\n'), QString(text).remove(u'\n'))
            << fitted.toStdString();
        for (const QString& line : fitted.split(u'\n'))
            EXPECT_LE(metrics.horizontalAdvance(line), width) << line.toStdString();
    }
    EXPECT_EQ(fitLines("short\n\nlines", metrics, width), "short\n\nlines");
    // A line is broken after a blank where there is one, not inside a word.
    const QStringList lines = fitLines(words, metrics, width).split(u'\n');
    ASSERT_GE(lines.size(), 3);
    EXPECT_TRUE(lines.back().endsWith("string :"));
    EXPECT_TRUE(lines[lines.size() - 2].endsWith(u' ')) << lines[lines.size() - 2].toStdString();
}

TEST_F(DialogsTest, MessageBoxShowsTheTextsLinesAndItsDetailWithinTheScreen) {
    Notice n;
    n.text = "File size is  0 byte !\r\rFile can not open for string searching !";
    n.title = "STRING FINDER Version 1.0";
    n.icon = NoticeIcon::Exclamation;
    n.detail = "/home/ann/" + std::string(300, 'd') + "/<b>Inbox</b>.imm";
    const auto box = makeMessageBox(nullptr, n);
    EXPECT_EQ(box->text(), "File size is  0 byte !\n\nFile can not open for string searching !");
    EXPECT_EQ(QString(box->informativeText()).remove(u'\n'), QString::fromStdString(n.detail));
    EXPECT_EQ(box->windowTitle(), "STRING FINDER Version 1.0");
    EXPECT_EQ(box->icon(), QMessageBox::Warning);
    EXPECT_EQ(box->standardButtons(), QMessageBox::Ok);
    // A path is shown as text, never read as markup.
    auto* detail = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel"));
    ASSERT_NE(detail, nullptr);
    EXPECT_EQ(detail->textFormat(), Qt::PlainText);
    EXPECT_TRUE(onScreen(box.get()));

    Notice question;
    question.text =
        "Do you want to clear all the files in the list\r\n Proceed? " + std::string(400, 'w');
    question.buttons = NoticeButtons::YesNo;
    const auto yesNo = makeMessageBox(nullptr, question);
    EXPECT_EQ(yesNo->standardButtons(), QMessageBox::Yes | QMessageBox::No);
    EXPECT_TRUE(onScreen(yesNo.get()));
}

}  // namespace
}  // namespace tp::app
