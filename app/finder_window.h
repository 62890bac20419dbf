#pragma once
// FrmFinder: the string finder window. It carries a Scanner and is its observer:
// the scanner's print surface is the window's read-only report area, its notices
// become message boxes through tp::app::Dialogs, and its file name box, search
// text box and "Case Sensitive" box are Text1, Text2 and Check1.
//
// On its own (the tessaport-finder program) the window also overwrites the
// current match in place: GetNewString asks for the new text, ReplaceString
// writes it over the match and shows the bytes as they are afterwards. The file is
// opened for writing only for that write.
#include <QString>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "finder/scanner.h"

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace tp::finder {

class FrmFinder : public QWidget, public ScannerObserver {
    Q_OBJECT

  public:
    // The window with its own offset list and end flag.
    explicit FrmFinder(QWidget* parent = nullptr);
    // The window sharing the caller's offset list and end flag.
    explicit FrmFinder(ScanShared& shared, QWidget* parent = nullptr);
    ~FrmFinder() override;

    Scanner& scanner() { return scanner_; }
    ScanShared& shared() { return shared_; }

    // Commands bound to the controls.
    void Command3_Click();  // "Find": first search step
    void Command4_Click();  // find next

    // Operations no control invokes.
    void Find_Click();
    void FindNext_Click();
    void Open_MBOX(const QString& fmboxname);
    void CloseFile();
    void Close_Click();
    void Exit_Click();
    void Command2_Click();
    void GetNewString();
    void ReplaceString();

    // The replacement text asked by GetNewString (empty, or SearchLength characters).
    const QString& NewText() const { return newText_; }

    // The print surface: the exact bytes the scanner printed since it last cleared.
    const std::string& reportBytes() const { return report_; }
    // The same as the report area shows it (Latin-1, "\n" line ends).
    QString reportText() const;

    // Adds the standalone program's commands: "Replace..." (GetNewString, then
    // ReplaceString on the current match) and "Close File" (Close_Click). Both are
    // enabled only when they have something to act on.
    void addReplaceCommands();

    // What Exit_Click does after closing the file; by default it ends the event
    // loop without running any closing handler.
    void setExitHandler(std::function<void()> handler) { exitHandler_ = std::move(handler); }

    // Twips to pixels (15 twips to the pixel).
    static int px(int twips);

  signals:
    // A hit, for a main window that shows LblHappening and ProgressBar2.
    void hitFound(quint64 offset, const QString& happening, int bar);

  protected:
    void closeEvent(QCloseEvent* event) override;  // Form_Unload
    void resizeEvent(QResizeEvent* event) override;

  private:
    // ScannerObserver
    void notice(const Notice& n) override;
    void beep() override;
    void clearReport() override;
    void printReport(std::string_view text) override;
    bool wantsReport() const override { return true; }
    void hit(std::uint64_t offset, const std::string& happening, int bar) override;
    void fileNameChanged(const std::string& text) override;
    void focusFileName() override;

    void buildControls();
    bool searchTextIsBytes();
    void takeInputs();  // Text1, Text2 and Check1 from the boxes into the scanner
    void afterStep();   // shows the report and updates the program's commands
    void showReport();
    void scheduleReport();
    void replaceError(const QString& text);
    void showWritten(std::size_t written);
    void reportScanError(const std::string& before);
    bool hasMatch() const;

    std::unique_ptr<ScanShared> ownShared_;
    ScanShared& shared_;
    Scanner scanner_;
    QString newText_;
    std::string report_;
    bool reportPending_ = false;
    // Where the current hit's bytes stand in the report, to show them again after
    // a write.
    bool hitPending_ = false;
    std::size_t hitBytesAt_ = std::string::npos;
    std::size_t hitBytesLength_ = 0;
    std::function<void()> exitHandler_;

    QGroupBox* frame1_ = nullptr;
    QLabel* label1_ = nullptr;
    QLineEdit* text1_ = nullptr;
    QLabel* label2_ = nullptr;
    QLineEdit* text2_ = nullptr;
    QPushButton* command3_ = nullptr;
    QPushButton* command1_ = nullptr;
    QCheckBox* check1_ = nullptr;
    QPushButton* command4_ = nullptr;
    QGroupBox* frame2_ = nullptr;
    QLabel* label3_ = nullptr;
    QPlainTextEdit* surface_ = nullptr;
    QPushButton* cmdReplace_ = nullptr;
    QPushButton* cmdCloseFile_ = nullptr;
};

}  // namespace tp::finder
