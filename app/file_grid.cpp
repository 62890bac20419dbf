#include "app/file_grid.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QHeaderView>
#include <QMimeData>
#include <QUrl>
#include <algorithm>

namespace tp::app {
namespace {

QStringList localPaths(const QMimeData* mime) {
    QStringList paths;
    if (!mime || !mime->hasUrls()) return paths;
    for (const QUrl& url : mime->urls())
        if (url.isLocalFile()) paths << url.toLocalFile();
    return paths;
}

}  // namespace

FileGrid::FileGrid(QWidget* parent) : QTableWidget(1, 1, parent) {
    horizontalHeader()->hide();
    verticalHeader()->hide();
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setWordWrap(false);
    // A path wider than the list is shown whole and scrolled to, pixel by pixel.
    setTextElideMode(Qt::ElideNone);
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setAcceptDrops(true);
    viewport()->setAcceptDrops(true);
    setDragDropMode(QAbstractItemView::DropOnly);
    verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 4);
}

void FileGrid::setRows(int rows) {
    setRowCount(rows < 1 ? 1 : rows);
    if (Row >= rowCount()) Row = rowCount() - 1;
}

QString FileGrid::Text() const {
    const QTableWidgetItem* cell = item(Row, Col);
    return cell ? cell->text() : QString();
}

void FileGrid::setText(const QString& text) {
    QTableWidgetItem* cell = item(Row, Col);
    if (!cell) {
        cell = new QTableWidgetItem;
        setItem(Row, Col, cell);
    }
    cell->setText(text);
    cell->setToolTip(text);
    widestText_ = std::max(widestText_, fontMetrics().horizontalAdvance(text) + kCellPadding);
    fitColumn();
}

void FileGrid::setColWidthTwips(int col, int twips) {
    // Column 0 follows the list's width (a wider designed width would only add a
    // scroll bar to an empty list); other columns take the width they are given.
    if (col != 0) setColumnWidth(col, (twips + 7) / 15);
    fitColumn();
}

void FileGrid::fitColumn() {
    const int width = std::max(widestText_, viewport()->width());
    if (columnWidth(0) != width) setColumnWidth(0, width);
}

void FileGrid::resizeEvent(QResizeEvent* event) {
    QTableWidget::resizeEvent(event);
    fitColumn();
}

void FileGrid::Clear() {
    for (int r = 0; r < rowCount(); ++r)
        for (int c = 0; c < columnCount(); ++c)
            if (QTableWidgetItem* cell = item(r, c)) cell->setText(QString());
    widestText_ = 0;
    fitColumn();
}

QStringList FileGrid::column0() const {
    QStringList texts;
    for (int r = 0; r < rowCount(); ++r) {
        const QTableWidgetItem* cell = item(r, 0);
        texts << (cell ? cell->text() : QString());
    }
    return texts;
}

void FileGrid::dragEnterEvent(QDragEnterEvent* event) {
    if (!localPaths(event->mimeData()).isEmpty())
        event->acceptProposedAction();
    else
        event->ignore();
}

void FileGrid::dragMoveEvent(QDragMoveEvent* event) {
    if (!localPaths(event->mimeData()).isEmpty())
        event->acceptProposedAction();
    else
        event->ignore();
}

void FileGrid::dropEvent(QDropEvent* event) {
    const QStringList paths = localPaths(event->mimeData());
    if (paths.isEmpty()) {
        event->ignore();
        return;
    }
    event->acceptProposedAction();
    emit pathsDropped(paths);
}

}  // namespace tp::app
