#pragma once
// The mailbox list: one column of paths, one a row. The empty list is one row
// holding an empty cell. The column fills the list; a path wider than
// the list widens it, and only then does the list scroll sideways, so that every
// path can be read.
#include <QStringList>
#include <QTableWidget>

namespace tp::app {

class MailboxList : public QTableWidget {
    Q_OBJECT
  public:
    explicit MailboxList(QWidget* parent = nullptr);

    // Whether the list holds no path (its one row is empty).
    bool isEmpty() const;
    // Puts `path` in a new last row (in the empty row of the empty list).
    void appendPath(const QString& path);
    // Back to the empty list.
    void clearPaths();
    // Every row's path, top to bottom (the empty list gives one empty text).
    QStringList paths() const;
    // Column 0 as wide as the list or as its widest path, whichever is wider.
    void fitColumn();

  signals:
    // Local files and folders dropped on the grid.
    void pathsDropped(const QStringList& paths);

  protected:
    // Room around a cell's text (the item's margins and the grid line).
    static constexpr int kCellPadding = 12;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

  private:
    int widestText_ = 0;  // the widest path's width with its padding, in pixels
};

}  // namespace tp::app
