#pragma once
// Where the manual lives: help.html, beside the program in the build tree, or in
// the package's documentation folder when installed. Its "troubleshooting" section is the support
// article the "Outlook Error" box points to. Header-only (QtCore) so that the engine can name the
// same address.
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QString>
#include <QUrl>
#include <string>

namespace tp::app {

inline constexpr const char* kHelpFileName = "help.html";
inline constexpr const char* kTroubleshootingSection = "troubleshooting";

// Where an installed program's manual is, relative to the program's folder
// (bin/ and share/doc/tessaport/ under the same prefix, /usr for the package).
inline constexpr const char* kInstalledHelpFolder = "../share/doc/tessaport";
// Where the package puts it, for a program started from elsewhere (a copy in
// another folder, a link to it).
inline constexpr const char* kSystemHelpFolder = "/usr/share/doc/tessaport";

// The manual of a program in `programDir`: beside it when it is there (the build
// tree), else in the installed documentation folder under the same prefix, else
// in `systemFolder`; beside the program when none exists. Never relative to the
// current folder.
inline QString helpFilePathFor(
    const QString& programDir,
    const QString& systemFolder = QString::fromLatin1(kSystemHelpFolder)) {
    const QDir dir(QDir(programDir).absolutePath());
    const QString name = QString::fromLatin1(kHelpFileName);
    const QString beside = dir.filePath(name);
    if (QFileInfo::exists(beside)) return beside;
    const QString installed = QDir::cleanPath(
        dir.filePath(QString::fromLatin1(kInstalledHelpFolder) + QLatin1Char('/') + name));
    if (QFileInfo::exists(installed)) return installed;
    const QString system = QDir(systemFolder).filePath(name);
    return QFileInfo::exists(system) ? system : beside;
}

// The manual of the running program, as a local file path.
inline QString helpFilePath() {
    return helpFilePathFor(QCoreApplication::instance() ? QCoreApplication::applicationDirPath()
                                                        : QDir::currentPath());
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
