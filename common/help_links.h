#pragma once
// Where the manual lives: help.html, installed beside the program. Its
// "troubleshooting" section is the support article the "Outlook Error" box
// points to. Header-only (QtCore) so that the engine can name the same address.
#include <QCoreApplication>
#include <QDir>
#include <QString>
#include <QUrl>
#include <string>

namespace tp::app {

inline constexpr const char* kHelpFileName = "help.html";
inline constexpr const char* kTroubleshootingSection = "troubleshooting";

// The manual beside the running program, as a local file path.
inline QString helpFilePath() {
    const QString dir =
        QCoreApplication::instance() ? QCoreApplication::applicationDirPath() : QDir::currentPath();
    return QDir(dir).filePath(QString::fromLatin1(kHelpFileName));
}

// The manual's address; with a section, the address of that section.
inline QString helpAddress(const char* section = nullptr) {
    QUrl url = QUrl::fromLocalFile(helpFilePath());
    if (section) url.setFragment(QString::fromLatin1(section));
    return url.toString();
}

// The support address shown in the "Outlook Error" box.
inline std::string supportAddress() {
    return helpAddress(kTroubleshootingSection).toStdString();
}

}  // namespace tp::app
