#pragma once
// The shell services the window uses: the folder browser and opening a document
// with the program the desktop associates with it. Both go through Dialogs.
#include <QString>

class QWidget;

namespace tp::app {

// The chosen folder's path, or empty text when cancelled. The path has no
// trailing separator unless it is a root.
QString browseForFolder(QWidget* owner, const QString& prompt);

// Opens a document path or address; false when nothing could show it (no
// browser, no program for it). Empty text does nothing and is false.
bool openDocument(const QString& pathOrUrl);

// `path` followed by one separator unless it already ends in one.
QString withTrailingSeparator(const QString& path);

}  // namespace tp::app
