#include "app/mailbox_list.h"

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

MailboxList::MailboxList(QWidget* parent) : QTableWidget(1, 1, parent) {
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

bool MailboxList::isEmpty() const {
    const QTableWidgetItem* cell = item(0, 0);
    return rowCount() == 1 && (!cell || cell->text().isEmpty());
}

void MailboxList::appendPath(const QString& path) {
    const bool intoEmptyRow = isEmpty();
    if (!intoEmptyRow) setRowCount(rowCount() + 1);
    const int row = rowCount() - 1;
    QTableWidgetItem* cell = item(row, 0);
    if (!cell) {
        cell = new QTableWidgetItem;
        setItem(row, 0, cell);
    }
    cell->setText(path);
    cell->setToolTip(path);
    widestText_ = std::max(widestText_, fontMetrics().horizontalAdvance(path) + kCellPadding);
    fitColumn();
}

void MailboxList::fitColumn() {
    const int width = std::max(widestText_, viewport()->width());
    if (columnWidth(0) != width) setColumnWidth(0, width);
}

void MailboxList::resizeEvent(QResizeEvent* event) {
    QTableWidget::resizeEvent(event);
    fitColumn();
}

void MailboxList::clearPaths() {
    setRowCount(1);
    if (QTableWidgetItem* cell = item(0, 0)) cell->setText(QString());
    widestText_ = 0;
    fitColumn();
}

QStringList MailboxList::paths() const {
    QStringList texts;
    for (int r = 0; r < rowCount(); ++r) {
        const QTableWidgetItem* cell = item(r, 0);
        texts << (cell ? cell->text() : QString());
    }
    return texts;
}

void MailboxList::dragEnterEvent(QDragEnterEvent* event) {
    if (!localPaths(event->mimeData()).isEmpty())
        event->acceptProposedAction();
    else
        event->ignore();
}

void MailboxList::dragMoveEvent(QDragMoveEvent* event) {
    if (!localPaths(event->mimeData()).isEmpty())
        event->acceptProposedAction();
    else
        event->ignore();
}

void MailboxList::dropEvent(QDropEvent* event) {
    const QStringList paths = localPaths(event->mimeData());
    if (paths.isEmpty()) {
        event->ignore();
        return;
    }
    event->acceptProposedAction();
    emit pathsDropped(paths);
}

}  // namespace tp::app
