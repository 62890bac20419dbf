#pragma once
// The string finder window. It carries a Scanner and is its observer: the
// scanner's print surface is the window's read-only report area, its notices
// become message boxes through tp::app::Dialogs, and its file name box, search
// text box and "Case Sensitive" box give the scanner what to search for.
//
// On its own (the tessaport-finder program) the window also overwrites the
// current match in place: askReplacement asks for the new text, writeReplacement
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

class StringFinderWindow : public QWidget, public ScannerObserver {
    Q_OBJECT

  public:
    // The window with its own offset list and end flag.
    explicit StringFinderWindow(QWidget* parent = nullptr);
    // The window sharing the caller's offset list and end flag.
    explicit StringFinderWindow(ScanShared& shared, QWidget* parent = nullptr);
    ~StringFinderWindow() override;

    Scanner& scanner() { return scanner_; }
    ScanShared& shared() { return shared_; }

    // The search steps, each with what the boxes hold: "Find" finds the first
    // occurrence, "Command4" the next one.
    void find();
    void findNext();
    void openFile(const QString& path);
    void closeFile();
    // "Close": closes the open file; only a beep when none is open.
    void closeFileClicked();
    // Closes the file and ends the program (see setExitHandler).
    void exit();
    // Asks for the text that replaces the current match (see replacementText).
    void askReplacement();
    // Writes the asked text over the current match.
    void writeReplacement();

    // The replacement text asked by askReplacement (empty, or as many characters as the search
    // text).
    const QString& replacementText() const { return newText_; }

    // The print surface: the exact bytes the scanner printed since it last cleared.
    const std::string& reportBytes() const { return report_; }
    // The same as the report area shows it (Latin-1, "\n" line ends).
    QString reportText() const;

    // Adds the standalone program's commands: "Replace..." (askReplacement, then
    // writeReplacement on the current match) and "Close File" (closeFileClicked). Both are
    // enabled only when they have something to act on.
    void addReplaceCommands();

    // What exit does after closing the file; by default it ends the event
    // loop without running any closing handler.
    void setExitHandler(std::function<void()> handler) { exitHandler_ = std::move(handler); }

    // Twips to pixels (15 twips to the pixel).
    static int px(int twips);

  signals:
    // A hit: where it is, the activity text and the progress value the scanner gives.
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
    void hit(std::uint64_t offset, int found, int percent) override;
    void fileNameChanged(const std::string& text) override;
    void focusFileName() override;

    void buildControls();
    bool searchTextIsBytes();
    void takeInputs();  // the file name, search text and case option into the scanner
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

    QGroupBox* searchPanel_ = nullptr;
    QLabel* fileNameCaption_ = nullptr;
    QLineEdit* fileNameEdit_ = nullptr;
    QLabel* searchTextCaption_ = nullptr;
    QLineEdit* searchTextEdit_ = nullptr;
    QPushButton* findButton_ = nullptr;
    QPushButton* openButton_ = nullptr;
    QCheckBox* caseSensitiveCheck_ = nullptr;
    QPushButton* findNextButton_ = nullptr;
    QGroupBox* footerPanel_ = nullptr;
    QLabel* descriptionLabel_ = nullptr;
    QPlainTextEdit* reportArea_ = nullptr;
    QPushButton* replaceButton_ = nullptr;
    QPushButton* closeFileButton_ = nullptr;
};

}  // namespace tp::finder
