// The scanner's notices during a run: the run waits for each, the window stays usable.
#include <QDir>
#include <QMessageBox>
#include <QPainter>
#include <QPointer>

#include "window_fixture.h"

namespace tp::app::test {
namespace {

class NoticeTest : public WindowTest {
  protected:
    fs::path mailboxFile(const std::string& name, const std::string& bytes) {
        writeBytes(tmp.path() / name, bytes);
        return tmp.path() / name;
    }
    void convert(const std::vector<fs::path>& mailboxes) {
        list(mailboxes);
        convertInto(out());
    }
    // Keeps the window's events flowing for a while.
    static void pumpFor(int ms) {
        pumpUntil([] { return false; }, ms);
    }
    // The message box on screen, if any.
    static QMessageBox* openBox() {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible()) return box;
        return nullptr;
    }
};

// The real box: it does not block the window, which answers commands; the run
// waits for it and its OK lets the run go on to the next mailbox; closing the
// window stops the run before the next mailbox and takes the box away.
TEST_F(NoticeTest, TheRunWaitsForTheRealBoxWhichGoesWithTheWindow) {
    fake.realOpenBoxes = true;
    const fs::path first = mailboxFile("Empty.imm", "");
    const fs::path second = mailboxFile("Tiny.imm", "x");
    window.show();
    const fs::path good = mailboxFile("Good.imm", mailbox(2));
    convert({first, second, good});

    ASSERT_TRUE(pumpUntil([&] { return openBox() != nullptr; }));
    QMessageBox* box = openBox();
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_EQ(box->informativeText(), QString::fromStdString(first.string()));
    list({"/m/Later.imm"});
    EXPECT_EQ(label("fileCountLabel"), "4 files");
    pumpFor(300);
    EXPECT_TRUE(window.runInProgress());
    EXPECT_EQ(fake.boxes.size(), 1u);
    EXPECT_EQ(label("mailboxNameLabel"), "Empty.imm");
    EXPECT_EQ(label("mailboxCountLabel"), "Mailbox 1 (of 3) ");
    box->button(QMessageBox::Ok)->click();

    ASSERT_TRUE(pumpUntil([&] {
        QMessageBox* b = openBox();
        return b && b->informativeText() == QString::fromStdString(second.string());
    }));
    QPointer<QMessageBox> secondBox = openBox();
    EXPECT_TRUE(secondBox->text().startsWith("File size is  1 byte !\n\n"));
    EXPECT_EQ(label("mailboxNameLabel"), "Tiny.imm");
    EXPECT_EQ(label("mailboxCountLabel"), "Mailbox 2 (of 3) ");
    window.close();
    EXPECT_FALSE(window.runInProgress());
    EXPECT_TRUE(window.lastSummary().cancelled);
    QApplication::processEvents();
    EXPECT_TRUE(secondBox.isNull());
    pumpFor(50);
    EXPECT_FALSE(fs::exists(emlOf(good, 1)));
    EXPECT_EQ(fake.boxes.size(), 2u);  // no further notice, no closing box
}

// Renders a notice over a running window for scripts/screenshots.sh.
TEST_F(NoticeTest, DISABLED_RendersTheScreenshotOfANoticeDuringARun) {
    fake.realOpenBoxes = true;
    const fs::path empty = mailboxFile("Empty.imm", "");
    window.show();
    convert(
        {mailboxFile("Inbox.imm", mailbox(3)), empty, mailboxFile("Sent Items.imm", mailbox(2))});
    ASSERT_TRUE(pumpUntil([&] { return openBox() != nullptr; }));
    QMessageBox* box = openBox();
    // Give the labels the run wrote before the notice time to paint.
    pumpFor(100);
    QImage shot = window.grab().toImage();
    const QImage boxImage = box->grab().toImage();

    // The box over the window's middle, in a plain frame with its title.
    QPainter painter(&shot);
    const int titleHeight = 22;
    QRect frame(QPoint(0, 0), boxImage.size() + QSize(2, titleHeight + 1));
    frame.moveCenter(shot.rect().center());
    painter.fillRect(frame, QColor(90, 90, 90));
    const QRect titleBar(frame.left() + 1, frame.top() + 1, frame.width() - 2, titleHeight - 1);
    painter.fillRect(titleBar, QColor(225, 225, 225));
    painter.setPen(Qt::black);
    painter.drawText(titleBar.adjusted(8, 0, -8, 0), Qt::AlignVCenter | Qt::AlignLeft,
                     box->windowTitle());
    painter.drawImage(frame.left() + 1, frame.top() + titleHeight, boxImage);
    painter.end();

    window.close();
    EXPECT_FALSE(window.runInProgress());
    const QString dir = QStringLiteral(TP_BINARY_DIR "/screenshots");
    ASSERT_TRUE(QDir().mkpath(dir));
    EXPECT_TRUE(shot.save(dir + QStringLiteral("/run-notice.png")));
}

}  // namespace
}  // namespace tp::app::test
