#pragma once
// The windows' way to the manual (QtCore): the same places as help_address.h
// gives the engine and the command line without Qt.
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QString>
#include <QUrl>
#include <string>

#include "common/help_address.h"

namespace tp::app {

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
