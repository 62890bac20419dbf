#pragma once
// The main window, frmStep1: the mailbox list and its commands, the attachments
// option, the output format, the progress display and the Convert command.
// A conversion runs on a worker thread; its events come back to this window
// through queued calls, so everything the window shows changes on its own thread.
// A notice of the run (a mailbox that cannot be searched) holds the run until the
// user answers it; the window stays usable, and closing it stops the run.
#include <QPointer>
#include <QStringList>
#include <QWidget>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "run/run_types.h"

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QThread;

namespace tp::app {

class FileGrid;

// Where a run waits while one of its notices is open: the window answers it when
// the user closes the box, and releases it for good when the run is stopped.
struct NoticeGate {
    std::mutex mutex;
    std::condition_variable changed;
    bool waiting = false;   // a notice is open and unanswered
    bool released = false;  // the run is stopping: no notice waits any more
    void answer();
    void release();
};

class MainWindow : public QWidget {
    Q_OBJECT
  public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    // Client area: 8985 x 9540 twips.
    static constexpr int kWidthTwips = 8985;
    static constexpr int kHeightTwips = 9540;

    bool runInProgress() const { return worker_ != nullptr; }
    // The last finished run's summary (tests read it).
    const convert::RunSummary& lastSummary() const { return lastSummary_; }

    // The list commands' shared steps.
    // Appends `path`; false (nothing added) when the list names that file already.
    bool AddFileToList(const QString& path);
    void ClearFileList();
    // Adds every mailbox file below `folder` (the folder command after its dialog).
    void addFolder(const QString& folder);
    // Adds dropped files and folders as the two add commands would.
    void addDroppedPaths(const QStringList& paths);

  signals:
    // A run has ended and its closing box has been shown (or skipped on close).
    void runFinished();

  public slots:
    void cmdAdd_Click();
    void CmdAddFolder_Click();
    void cmdClear1_Click();
    void ChkAttachments_Click();
    void CmdAttachmentBrowse_Click();
    void CmdConvert2PDF_Click();
    void CmdHelp_Click();
    void cmdEnd_Click();

  protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

  private:
    friend class RunEvents;
    void buildControls();
    void setConvertWanted(bool wanted);
    void updateConvertEnabled();
    convert::RunOptions snapshotOptions() const;
    void startRun(convert::RunOptions options);
    void onRunFinished();
    // Engine events, delivered on this window's thread.
    void applyText(convert::Control control, const QString& text);
    void applyValue(convert::Control control, double value);
    void applyRange(convert::Control control, int min, int max);
    // Opens a notice of the run; the run waits at `gate` until it is answered.
    void showRunNotice(const Notice& notice, const std::shared_ptr<NoticeGate>& gate);
    QLabel* labelFor(convert::Control control) const;
    QProgressBar* barFor(convert::Control control) const;
    // Stops a run in progress and waits for it to finish its outputs.
    void stopRun();

    FileGrid* grdFiles1_ = nullptr;
    QLabel* lblCount1_ = nullptr;
    QPushButton* cmdAdd_ = nullptr;
    QPushButton* CmdAddFolder_ = nullptr;
    QPushButton* cmdClear1_ = nullptr;
    QCheckBox* ChkAttachments_ = nullptr;
    QLineEdit* txtAttachmentPath_ = nullptr;
    QPushButton* CmdAttachmentBrowse_ = nullptr;
    QGroupBox* Frame1_ = nullptr;
    QRadioButton* OptEML_ = nullptr;
    QRadioButton* OptPST_ = nullptr;
    QRadioButton* OptMBOX_ = nullptr;
    QLabel* LblHappening_ = nullptr;
    QLabel* LblProgessCurrent_ = nullptr;
    QLabel* LblIMMFile_ = nullptr;
    QLabel* LblEmlsFound_ = nullptr;
    QLabel* LblProgress_ = nullptr;
    QProgressBar* ProgressBar1_ = nullptr;
    QProgressBar* ProgressBar2_ = nullptr;
    QPushButton* CmdConvert2PDF_ = nullptr;
    QPushButton* CmdHelp_ = nullptr;
    QPushButton* cmdEnd_ = nullptr;

    bool convertWanted_ = false;  // what the list commands last decided
    bool closing_ = false;

    // The run in progress.
    struct Run;
    std::unique_ptr<Run> run_;
    QThread* worker_ = nullptr;
    QPointer<QWidget> runNotice_;  // the run's notice while it is open
    convert::RunSummary lastSummary_;
};

}  // namespace tp::app
