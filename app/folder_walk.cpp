#include "app/folder_walk.h"

#include <QFile>

#include "app/path_logger.h"

namespace tp::app {

bool walkFolder(const QString& folder, QStringList& files, QString& error) {
    files.clear();
    pathLogger logger;
    logger.PathLogInit();
    logger.fullFileNamesOnly = true;
    const bool complete = logger.LogPath(QFile::encodeName(folder).toStdString());
    const std::shared_ptr<TextList> found = logger.fullFileNames();
    const std::string reason = logger.lastError();
    logger.Terminate();
    if (!complete) {
        error = QString::fromStdString(reason);
        return false;
    }
    for (const std::string& path : found->values())
        files << QFile::decodeName(QByteArray::fromStdString(path));
    return true;
}

}  // namespace tp::app
