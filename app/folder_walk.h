#pragma once
// The folder command's walk: every file below a folder, breadth-first, through
// pathLogger.
#include <QString>
#include <QStringList>

namespace tp::app {

// Fills `files` with every file below `folder` (full paths, in walk order). False
// with `error` set when a folder could not be listed; `files` is then empty.
bool walkFolder(const QString& folder, QStringList& files, QString& error);

}  // namespace tp::app
