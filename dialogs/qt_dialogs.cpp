// The real dialogs: Qt message boxes, file and folder dialogs, the desktop's
// document opener.
#include <QApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QMessageBox>
#include <QUrl>

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

class QtDialogs final : public Dialogs {
  public:
    Answer messageBox(QWidget* parent, const Notice& notice) override {
        if (notice.beep) beep();
        QString text = QString::fromStdString(notice.text);
        text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
        QMessageBox box(toQtIcon(notice.icon), QString::fromStdString(notice.title), text,
                        QMessageBox::NoButton, parent);
        if (notice.buttons == NoticeButtons::YesNo) {
            box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
            box.setDefaultButton(QMessageBox::Yes);
        } else {
            box.setStandardButtons(QMessageBox::Ok);
        }
        const int pressed = box.exec();
        if (notice.buttons == NoticeButtons::YesNo)
            return pressed == QMessageBox::Yes ? Answer::Yes : Answer::No;
        return Answer::Ok;
    }

    QStringList openFileNames(QWidget* parent, const QString& filter) override {
        return QFileDialog::getOpenFileNames(parent, QString(), QString(), filter);
    }

    QString browseForFolder(QWidget* parent, const QString& prompt) override {
        return QFileDialog::getExistingDirectory(parent, prompt);
    }

    QString inputBox(QWidget* parent, const QString& title, const QString& prompt,
                     const QString& defaultText, bool* ok) override {
        bool accepted = false;
        QString text =
            QInputDialog::getText(parent, title, prompt, QLineEdit::Normal, defaultText, &accepted);
        if (ok) *ok = accepted;
        return accepted ? text : QString();
    }

    void beep() override { QApplication::beep(); }

    void openDocument(const QString& pathOrUrl) override {
        if (pathOrUrl.contains(QStringLiteral("://")) ||
            pathOrUrl.startsWith(QStringLiteral("mailto:"))) {
            QDesktopServices::openUrl(QUrl(pathOrUrl));
            return;
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
        QDesktopServices::openUrl(url);
    }
};

Dialogs* g_replacement = nullptr;

}  // namespace

Dialogs& dialogs() {
    static QtDialogs real;
    return g_replacement ? *g_replacement : real;
}

void setDialogs(Dialogs* replacement) {
    g_replacement = replacement;
}

}  // namespace tp::app
