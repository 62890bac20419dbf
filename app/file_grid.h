#pragma once
// The mailbox list's grid: one column of text cells addressed the way the list
// commands and the run address them, by Rows, Row, Col and Text. The empty list
// is one row holding an empty cell. The column fills the list; a path wider than
// the list widens it, and only then does the list scroll sideways, so that every
// path can be read.
#include <QStringList>
#include <QTableWidget>

namespace tp::app {

class FileGrid : public QTableWidget {
    Q_OBJECT
  public:
    explicit FileGrid(QWidget* parent = nullptr);

    int Rows() const { return rowCount(); }
    void setRows(int rows);
    int Cols() const { return columnCount(); }

    // The selected cell.
    int Row = 0;
    int Col = 0;
    QString Text() const;
    void setText(const QString& text);

    void setColWidthTwips(int col, int twips);
    void Clear();  // every cell's text becomes empty

    // Every cell of column 0, top to bottom (the empty list gives one empty text).
    QStringList column0() const;

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
    // Column 0 as wide as the list or as its widest path, whichever is wider.
    void fitColumn();
    int widestText_ = 0;  // the widest path's width with its padding, in pixels
};

}  // namespace tp::app
