#pragma once
// The main window: the mailbox list and its commands, the attachments option,
// the output format, the progress display and the Convert command. The run
// itself is a RunController beside the window; the window shows its events and
// answers its notices. Closing the window stops a run in progress.
#include <QPointer>
#include <QStringList>
#include <QWidget>
#include <functional>

#include "run/run_types.h"

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;

namespace tp {
struct Notice;
}

namespace tp::app {

class MailboxList;
class RunController;

class MainWindow : public QWidget {
    Q_OBJECT
  public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    // Client area: 8985 x 9540 twips.
    static constexpr int kWidthTwips = 8985;
    static constexpr int kHeightTwips = 9540;

    bool runInProgress() const;
    // The last finished run's summary (tests read it).
    const convert::RunSummary& lastSummary() const { return lastSummary_; }

    // The list commands' shared steps.
    // Appends `path`; false (nothing added) when the list names that file already.
    bool addFileToList(const QString& path);
    void clearFileList();
    // Adds every mailbox file below `folder` (the folder command after its dialog).
    void addFolder(const QString& folder);
    // Adds dropped files and folders as the two add commands would.
    void addDroppedPaths(const QStringList& paths);

  signals:
    // A run has ended and its closing box has been shown (or skipped on close).
    void runFinished();

  public slots:
    void addFilesClicked();
    void addFolderClicked();
    void clearListClicked();
    void attachmentsToggled();
    void attachmentBrowseClicked();
    void convertClicked();
    void helpClicked();
    void exitClicked();

  protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

  private:
    void buildControls();
    void setConvertWanted(bool wanted);
    void updateConvertEnabled();
    convert::RunOptions snapshotOptions() const;
    void onRunFinished(const convert::RunSummary& summary, const QString& error);
    // The run's events, delivered on this window's thread.
    // Shows where the run is (the mailbox, its name, what it is doing, the messages
    // found and saved, and how far the mailbox and the run are) from its numbers.
    void applyProgress(const convert::RunProgress& progress);
    // Opens a notice of the run; the run waits until `answer` is called.
    void showRunNotice(const Notice& notice, const std::function<void()>& answer);
    // Stops a run in progress and waits for it to finish its outputs.
    void stopRun();

    MailboxList* mailboxList_ = nullptr;
    QLabel* fileCountLabel_ = nullptr;
    QPushButton* addFilesButton_ = nullptr;
    QPushButton* addFolderButton_ = nullptr;
    QPushButton* clearListButton_ = nullptr;
    QCheckBox* attachmentsCheck_ = nullptr;
    QLineEdit* attachmentFolderEdit_ = nullptr;
    QPushButton* attachmentBrowseButton_ = nullptr;
    QGroupBox* formatGroup_ = nullptr;
    QRadioButton* emlOption_ = nullptr;
    QRadioButton* pstOption_ = nullptr;
    QRadioButton* mboxOption_ = nullptr;
    QLabel* activityLabel_ = nullptr;
    QLabel* mailboxCountLabel_ = nullptr;
    QLabel* mailboxNameLabel_ = nullptr;
    QLabel* messagesFoundLabel_ = nullptr;
    QLabel* savingLabel_ = nullptr;
    QProgressBar* runProgressBar_ = nullptr;
    QProgressBar* mailboxProgressBar_ = nullptr;
    QPushButton* convertButton_ = nullptr;
    QPushButton* helpButton_ = nullptr;
    QPushButton* exitButton_ = nullptr;

    bool convertWanted_ = false;  // what the list commands last decided
    bool closing_ = false;
    bool messagesCounted_ = false;  // the run's current mailbox was searched

    RunController* run_ = nullptr;
    QPointer<QWidget> runNotice_;  // the run's notice while it is open
    convert::RunSummary lastSummary_;
};

}  // namespace tp::app
