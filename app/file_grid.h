#pragma once
// The mailbox list's grid: one column of text cells addressed the way the list
// commands and the run address them, by Rows, Row, Col and Text. The empty list
// is one row holding an empty cell. A path wider than the list widens the column,
// and the list scrolls sideways so that every path can be read.
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

  private:
    int designedWidth_ = 0;  // column 0 as the window sets it, in pixels
};

}  // namespace tp::app
