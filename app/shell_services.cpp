#include "app/shell_services.h"

#include "dialogs/dialogs.h"

namespace tp::app {

QString browseForFolder(QWidget* owner, const QString& prompt) {
    return dialogs().browseForFolder(owner, prompt);
}

bool openDocument(const QString& pathOrUrl) {
    if (pathOrUrl.isEmpty()) return false;
    return dialogs().openDocument(pathOrUrl);
}

QString withTrailingSeparator(const QString& path) {
    if (path.endsWith(QLatin1Char('/')) || path.endsWith(QLatin1Char('\\'))) return path;
    return path + QLatin1Char('/');
}

}  // namespace tp::app
