// The real dialogs: Qt message boxes and input boxes that keep within the screen,
// file and folder dialogs, the desktop's document opener.
#include "dialogs/qt_dialogs.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QScreen>
#include <QUrl>
#include <algorithm>

#include "dialogs/dialogs.h"

namespace tp::app {
namespace {

QMessageBox::Icon toQtIcon(NoticeIcon icon) {
    switch (icon) {
        case NoticeIcon::Question:
            return QMessageBox::Question;
        case NoticeIcon::Exclamation:
        case NoticeIcon::Warning:
            return QMessageBox::Warning;
        case NoticeIcon::Information:
            return QMessageBox::Information;
        case NoticeIcon::None:
            break;
    }
    return QMessageBox::NoIcon;
}

Answer answerOf(const Notice& notice, int pressed) {
    if (notice.buttons == NoticeButtons::YesNo)
        return pressed == QMessageBox::Yes ? Answer::Yes : Answer::No;
    return Answer::Ok;
}

class QtDialogs final : public Dialogs {
  public:
    Answer messageBox(QWidget* parent, const Notice& notice) override {
        if (notice.beep) beep();
        const std::unique_ptr<QMessageBox> box = makeMessageBox(parent, notice);
        return answerOf(notice, box->exec());
    }

    QWidget* openMessageBox(QWidget* parent, const Notice& notice,
                            std::function<void(Answer)> answered) override {
        if (notice.beep) beep();
        QMessageBox* box = makeMessageBox(parent, notice).release();
        box->setWindowModality(Qt::NonModal);
        QObject::connect(box, &QMessageBox::finished, box,
                         [box, notice, answered = std::move(answered)](int pressed) {
                             box->deleteLater();
                             if (answered) answered(answerOf(notice, pressed));
                         });
        box->show();
        fitOnScreen(box);
        return box;
    }

    QStringList openFileNames(QWidget* parent, const QString& filter) override {
        return QFileDialog::getOpenFileNames(parent, QString(), QString(), filter);
    }

    QString browseForFolder(QWidget* parent, const QString& prompt) override {
        return QFileDialog::getExistingDirectory(parent, prompt);
    }

    QString inputBox(QWidget* parent, const QString& title, const QString& prompt,
                     const QString& defaultText, bool* ok) override {
        const std::unique_ptr<QInputDialog> box = makeInputBox(parent, title, prompt, defaultText);
        const bool accepted = box->exec() == QDialog::Accepted;
        if (ok) *ok = accepted;
        return accepted ? box->textValue() : QString();
    }

    void beep() override { QApplication::beep(); }

    bool openDocument(const QString& pathOrUrl) override {
        if (pathOrUrl.contains(QStringLiteral("://")) ||
            pathOrUrl.startsWith(QStringLiteral("mailto:"))) {
            return QDesktopServices::openUrl(QUrl(pathOrUrl));
        }
        // A local file, possibly with "#section" naming a place in it.
        QString path = pathOrUrl;
        QString fragment;
        const qsizetype hash = path.lastIndexOf(QLatin1Char('#'));
        if (hash > 0 && !QFileInfo::exists(path)) {
            fragment = path.mid(hash + 1);
            path.truncate(hash);
        }
        QUrl url = QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath());
        if (!fragment.isEmpty()) url.setFragment(fragment);
        return QDesktopServices::openUrl(url);
    }
};

Dialogs* g_replacement = nullptr;

}  // namespace

QString displayLines(const QString& text) {
    QString out = text;
    out.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    out.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return out;
}

QString fitLines(const QString& text, const QFontMetrics& metrics, int maxWidth) {
    const QStringList lines = text.split(QLatin1Char('\n'));
    QStringList out;
    for (const QString& line : lines) {
        QString rest = line;
        while (metrics.horizontalAdvance(rest) > maxWidth) {
            // The longest head that fits (at least one character).
            qsizetype fits = 1;
            while (fits < rest.size() && metrics.horizontalAdvance(rest.left(fits + 1)) <= maxWidth)
                ++fits;
            // Break after the last blank within it, when there is one past the start.
            qsizetype cut = fits;
            const qsizetype blank = rest.left(fits + 1).lastIndexOf(QLatin1Char(' '));
            if (blank > 0) cut = blank + 1;
            out << rest.left(cut);
            rest = rest.mid(cut);
        }
        out << rest;
    }
    return out.join(QLatin1Char('\n'));
}

int maxTextWidth(const QWidget* parent) {
    const QScreen* screen = parent ? parent->screen() : QGuiApplication::primaryScreen();
    const int free = screen ? screen->availableGeometry().width() : 800;
    // Room for the icon, the margins and the frame; a line longer than about
    // 90 characters is hard to read anyway.
    return std::max(160, std::min(560, free - 200));
}

std::unique_ptr<QMessageBox> makeMessageBox(QWidget* parent, const Notice& notice) {
    auto box = std::make_unique<QMessageBox>(parent);
    box->setIcon(toQtIcon(notice.icon));
    box->setWindowTitle(QString::fromStdString(notice.title));
    box->setTextFormat(Qt::PlainText);
    const QFontMetrics metrics(box->font());
    const int width = maxTextWidth(parent);
    box->setText(fitLines(displayLines(QString::fromStdString(notice.text)), metrics, width));
    if (!notice.detail.empty()) {
        // A path is bytes; show it as the file system names it.
        box->setInformativeText(
            fitLines(displayLines(QFile::decodeName(QByteArray::fromStdString(notice.detail))),
                     metrics, width));
        if (auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel")))
            label->setTextFormat(Qt::PlainText);
    }
    if (notice.buttons == NoticeButtons::YesNo) {
        box->setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box->setDefaultButton(QMessageBox::Yes);
    } else {
        box->setStandardButtons(QMessageBox::Ok);
    }
    return box;
}

std::unique_ptr<QInputDialog> makeInputBox(QWidget* parent, const QString& title,
                                           const QString& prompt, const QString& defaultText) {
    auto box = std::make_unique<QInputDialog>(parent);
    box->setWindowTitle(title);
    box->setInputMode(QInputDialog::TextInput);
    box->setTextEchoMode(QLineEdit::Normal);
    box->setLabelText(
        fitLines(displayLines(prompt), QFontMetrics(box->font()), maxTextWidth(parent)));
    box->setTextValue(defaultText);
    fitOnScreen(box.get());
    return box;
}

void fitOnScreen(QWidget* dialog) {
    const QScreen* screen = dialog->screen();
    if (!screen) screen = QGuiApplication::primaryScreen();
    if (!screen) return;
    const QRect free = screen->availableGeometry();
    dialog->setMaximumSize(free.size());
    dialog->adjustSize();
    QSize size = dialog->size().boundedTo(free.size());
    if (size != dialog->size()) dialog->resize(size);
    QRect frame = dialog->frameGeometry();
    frame.moveLeft(std::clamp(frame.left(), free.left(),
                              std::max(free.left(), free.right() - frame.width() + 1)));
    frame.moveTop(std::clamp(frame.top(), free.top(),
                             std::max(free.top(), free.bottom() - frame.height() + 1)));
    dialog->move(frame.topLeft());
}

Dialogs& dialogs() {
    static QtDialogs real;
    return g_replacement ? *g_replacement : real;
}

void setDialogs(Dialogs* replacement) {
    g_replacement = replacement;
}

}  // namespace tp::app
