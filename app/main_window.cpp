#include "app/main_window.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QThread>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <string>

#include "app/file_grid.h"
#include "app/folder_walk.h"
#include "app/shell_services.h"
#include "common/help_links.h"
#include "dialogs/dialogs.h"
#include "run/conversion_run.h"

static void initTessaportResources() {
    Q_INIT_RESOURCE(resources);
}

namespace tp::app {
namespace {

using convert::Control;

// The layout is given in twips; 15 twips make one pixel at 96 dpi.
int px(int twips) {
    return (twips + 7) / 15;
}
QRect tw(int left, int top, int width, int height) {
    return QRect(px(left), px(top), px(width), px(height));
}

const QColor kDarkRed(0x80, 0x00, 0x00);
const QColor kLineRed(0x40, 0x00, 0x00);
const QColor kBlue(0x00, 0x00, 0xFF);

QFont windowFont(bool bold = false) {
    QFont font;
    // Tahoma where it exists; otherwise faces of about its width, so the texts
    // fit the fixed layout.
    font.setFamilies({QStringLiteral("Tahoma"), QStringLiteral("Liberation Sans"),
                      QStringLiteral("Arial"), QStringLiteral("DejaVu Sans Condensed"),
                      QStringLiteral("DejaVu Sans")});
    font.setStyleHint(QFont::SansSerif);
    font.setPointSizeF(8.25);
    font.setBold(bold);
    return font;
}

template <class W>
W* make(QWidget* parent, const char* name, const QRect& geometry) {
    auto* widget = new W(parent);
    widget->setObjectName(QString::fromLatin1(name));
    widget->setGeometry(geometry);
    return widget;
}

QLabel* makeLabel(QWidget* parent, const char* name, const QString& text, const QRect& geometry,
                  const QColor* colour = nullptr, bool bold = false) {
    auto* label = make<QLabel>(parent, name, geometry);
    label->setText(text);
    label->setTextFormat(Qt::PlainText);
    if (bold) label->setFont(windowFont(true));
    if (colour) {
        QPalette palette = label->palette();
        palette.setColor(QPalette::WindowText, *colour);
        label->setPalette(palette);
    }
    return label;
}

QPushButton* makeButton(QWidget* parent, const char* name, const QString& text,
                        const QRect& geometry) {
    auto* button = make<QPushButton>(parent, name, geometry);
    button->setText(text);
    return button;
}

QLabel* makePicture(QWidget* parent, const char* name, const QString& resource,
                    const QRect& geometry) {
    auto* picture = make<QLabel>(parent, name, geometry);
    picture->setPixmap(QPixmap(resource));
    return picture;
}

void fillWhite(QWidget* widget) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Window, Qt::white);
    widget->setPalette(palette);
    widget->setAutoFillBackground(true);
}

// A path is a mailbox file when, lower-cased and without surrounding spaces,
// it ends in ".imm".
bool looksLikeMailbox(const QString& path) {
    QString p = path.toLower();
    qsizetype begin = 0;
    qsizetype end = p.size();
    while (begin < end && p[begin] == QLatin1Char(' ')) ++begin;
    while (end > begin && p[end - 1] == QLatin1Char(' ')) --end;
    return p.mid(begin, end - begin).endsWith(QStringLiteral(".imm"));
}

std::string bytesOf(const QString& text) {
    return QFile::encodeName(text).toStdString();
}

Notice appNotice(const QString& text, NoticeIcon icon, NoticeButtons buttons = NoticeButtons::Ok) {
    Notice notice;
    notice.text = text.toStdString();
    notice.title = kAppTitle;
    notice.icon = icon;
    notice.buttons = buttons;
    return notice;
}

}  // namespace

// The run's observer: lives on the worker thread, forwards every event to the
// window's thread as a queued call. The window outlives the worker (it waits
// for it before it goes), and calls queued for a window already gone are dropped.
class RunEvents final : public convert::RunObserver {
  public:
    RunEvents(MainWindow* window, std::shared_ptr<NoticeGate> gate)
        : window_(window), gate_(std::move(gate)) {}

    void textChanged(Control control, const std::string& text) override {
        MainWindow* w = window_;
        QMetaObject::invokeMethod(
            w, [w, control, t = QString::fromUtf8(text)] { w->applyText(control, t); },
            Qt::QueuedConnection);
    }
    void valueChanged(Control control, double value) override {
        MainWindow* w = window_;
        QMetaObject::invokeMethod(
            w, [w, control, value] { w->applyValue(control, value); }, Qt::QueuedConnection);
    }
    void rangeChanged(Control control, int min, int max) override {
        MainWindow* w = window_;
        QMetaObject::invokeMethod(
            w, [w, control, min, max] { w->applyRange(control, min, max); }, Qt::QueuedConnection);
    }
    // A notice stops the run until the user answers it, as a message box stops the
    // program that raises it; the window stays usable meanwhile (its box does not
    // block it), and stopping the run lets the run go on without an answer.
    void notice(const Notice& n) override {
        const std::shared_ptr<NoticeGate> gate = gate_;
        {
            const std::lock_guard lock(gate->mutex);
            if (gate->released) return;
            gate->waiting = true;
        }
        MainWindow* w = window_;
        QMetaObject::invokeMethod(
            w, [w, n, gate] { w->showRunNotice(n, gate); }, Qt::QueuedConnection);
        std::unique_lock lock(gate->mutex);
        gate->changed.wait(lock, [&] { return !gate->waiting || gate->released; });
    }

  private:
    MainWindow* window_;
    std::shared_ptr<NoticeGate> gate_;
};

struct MainWindow::Run {
    std::atomic<bool> cancel{false};
    convert::RunOptions options;
    std::shared_ptr<NoticeGate> gate = std::make_shared<NoticeGate>();
    std::unique_ptr<RunEvents> events;
    convert::RunSummary summary;
    std::string error;  // the run itself failed (an exception left it)
};

void NoticeGate::answer() {
    {
        const std::lock_guard lock(mutex);
        waiting = false;
    }
    changed.notify_all();
}

void NoticeGate::release() {
    {
        const std::lock_guard lock(mutex);
        released = true;
    }
    changed.notify_all();
}

MainWindow::MainWindow(QWidget* parent)
    // The window has one size: its title bar offers Minimize and Close, never
    // Maximize (CustomizeWindowHint makes the platform take these buttons as given).
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint) {
    initTessaportResources();
    setObjectName(QStringLiteral("frmStep1"));
    setWindowTitle(QStringLiteral("Tessaport Pro"));
    QIcon icon(QStringLiteral(":/tessaport/icon.png"));
    icon.addFile(QStringLiteral(":/tessaport/icon64.png"));
    setWindowIcon(icon);
    setFont(windowFont());
    setFixedSize(px(kWidthTwips), px(kHeightTwips));
    buildControls();

    // Form_Load: the grid's column width.
    grdFiles1_->setColWidthTwips(0, 10000);

    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
}

MainWindow::~MainWindow() {
    closing_ = true;
    stopRun();
}

void MainWindow::buildControls() {
    makePicture(this, "Image2", QStringLiteral(":/tessaport/banner.png"), tw(0, 0, 9000, 1275));

    auto* line = make<QWidget>(this, "Line1", QRect(0, px(1280), px(9000), 1));
    QPalette linePalette = line->palette();
    linePalette.setColor(QPalette::Window, kLineRed);
    line->setPalette(linePalette);
    line->setAutoFillBackground(true);

    cmdAdd_ = makeButton(this, "cmdAdd", QStringLiteral("Select IncrediMail (*.imm) file(s)..."),
                         tw(240, 1440, 2895, 375));
    CmdAddFolder_ =
        makeButton(this, "CmdAddFolder", QStringLiteral("Select folder having (*.imm) file(s)..."),
                   tw(3360, 1440, 3135, 375));
    cmdClear1_ = makeButton(this, "cmdClear1", QStringLiteral("Clear file(s)..."),
                            tw(7440, 1440, 1335, 375));
    lblCount1_ = makeLabel(this, "lblCount1", QStringLiteral("0 files"), tw(270, 2040, 8535, 255));

    grdFiles1_ = make<FileGrid>(this, "grdFiles1", tw(240, 2280, 8535, 1575));

    ChkAttachments_ = make<QCheckBox>(this, "ChkAttachments", tw(240, 3960, 8535, 255));
    ChkAttachments_->setText(QStringLiteral(
        "I have Attachments folder and want to save attachments to exported messages"));
    txtAttachmentPath_ = make<QLineEdit>(this, "txtAttachmentPath", tw(240, 4320, 7095, 380));
    txtAttachmentPath_->setEnabled(false);
    CmdAttachmentBrowse_ = makeButton(this, "CmdAttachmentBrowse", QStringLiteral("Browse..."),
                                      tw(7440, 4320, 1335, 375));
    CmdAttachmentBrowse_->setEnabled(false);

    Frame1_ = make<QGroupBox>(this, "Frame1", tw(240, 4800, 8535, 1455));
    Frame1_->setTitle(QStringLiteral(" I want to convert incredimail messages to"));
    auto* picture1 = make<QWidget>(Frame1_, "Picture1", tw(120, 240, 8295, 1095));
    OptEML_ = make<QRadioButton>(picture1, "OptEML", tw(0, 120, 8055, 255));
    OptEML_->setText(QStringLiteral(
        "(.eml) files          -     (Outlook Express, Windows Mail, Windows Live Mail)"));
    OptEML_->setChecked(true);
    OptPST_ = make<QRadioButton>(picture1, "OptPST", tw(0, 480, 8055, 255));
    OptPST_->setText(QStringLiteral("(.pst) files          -     (MS Outlook)"));
    OptMBOX_ = make<QRadioButton>(picture1, "OptMBOX", tw(0, 840, 8055, 255));
    OptMBOX_->setText(
        QStringLiteral("(.mbox) files      -     (Mac Mail, Thunderbird, Entourage, Evolution)"));

    makeLabel(this, "Label4", QStringLiteral("Converting Messages..."), tw(240, 6315, 1815, 255));
    LblHappening_ =
        makeLabel(this, "LblHappening", QString(), tw(2040, 6315, 6855, 255), &kBlue, true);
    makePicture(this, "Image1", QStringLiteral(":/tessaport/mailbox16.png"),
                tw(240, 6555, 240, 240));
    LblProgessCurrent_ = makeLabel(this, "LblProgessCurrent", QStringLiteral("Mailbox  0 (of 0)"),
                                   tw(600, 6600, 8175, 255));
    makeLabel(this, "Label1", QStringLiteral("Reading          :"), tw(600, 6840, 1335, 255),
              &kDarkRed, true);
    LblIMMFile_ = makeLabel(this, "LblIMMFile", QString(), tw(1920, 6840, 6855, 255));
    ProgressBar2_ = make<QProgressBar>(this, "ProgressBar2", tw(600, 7080, 8175, 255));
    makeLabel(this, "Label2", QStringLiteral("Emails Found :"), tw(600, 7365, 1335, 255), &kDarkRed,
              true);
    LblEmlsFound_ = makeLabel(this, "LblEmlsFound", QString(), tw(1920, 7365, 6855, 255));
    makePicture(this, "Image3", QStringLiteral(":/tessaport/message16.png"),
                tw(600, 7575, 240, 240));
    LblProgress_ =
        makeLabel(this, "LblProgress", QStringLiteral("Saving :"), tw(960, 7575, 7815, 255));
    ProgressBar1_ = make<QProgressBar>(this, "ProgressBar1", tw(240, 7920, 8535, 255));
    for (QProgressBar* bar : {ProgressBar1_, ProgressBar2_}) {
        bar->setRange(0, 100);
        bar->setValue(0);
        bar->setTextVisible(false);
    }

    CmdConvert2PDF_ =
        makeButton(this, "CmdConvert2PDF", QStringLiteral("Convert"), tw(3120, 8280, 2775, 435));
    CmdConvert2PDF_->setEnabled(false);

    auto* shape1 = make<QLabel>(this, "Shape1", tw(0, 8880, 9015, 855));
    shape1->setStyleSheet(
        QStringLiteral("QLabel { background: white; border: 1px solid silver; }"));
    auto* picture3 = make<QWidget>(this, "Picture3", tw(240, 9000, 8655, 495));
    fillWhite(picture3);
    CmdHelp_ = makeButton(picture3, "CmdHelp", QStringLiteral("&Help Manual"), tw(0, 0, 1695, 375));
    cmdEnd_ = makeButton(picture3, "cmdEnd", QStringLiteral("E&xit"), tw(7200, 0, 1335, 375));

    // The file dialog has no widget of its own; this object carries its name and filter.
    auto* cdlgFile = new QObject(this);
    cdlgFile->setObjectName(QStringLiteral("cdlgFile"));
    cdlgFile->setProperty("Filter", QStringLiteral("IncrediMail Mailbox (*.imm)"));

    connect(cmdAdd_, &QPushButton::clicked, this, &MainWindow::cmdAdd_Click);
    connect(CmdAddFolder_, &QPushButton::clicked, this, &MainWindow::CmdAddFolder_Click);
    connect(cmdClear1_, &QPushButton::clicked, this, &MainWindow::cmdClear1_Click);
    connect(ChkAttachments_, &QCheckBox::toggled, this, &MainWindow::ChkAttachments_Click);
    connect(CmdAttachmentBrowse_, &QPushButton::clicked, this,
            &MainWindow::CmdAttachmentBrowse_Click);
    connect(CmdConvert2PDF_, &QPushButton::clicked, this, &MainWindow::CmdConvert2PDF_Click);
    connect(CmdHelp_, &QPushButton::clicked, this, &MainWindow::CmdHelp_Click);
    connect(cmdEnd_, &QPushButton::clicked, this, &MainWindow::cmdEnd_Click);
    connect(grdFiles1_, &FileGrid::pathsDropped, this, &MainWindow::addDroppedPaths);
}

// ---- the mailbox list -------------------------------------------------------

namespace {

// The file a path names, whatever links or spellings lead to it; for a path that
// names nothing (yet), the path made absolute and plain.
QString realPathOf(const QString& path) {
    const QFileInfo info(path);
    const QString real = info.canonicalFilePath();
    return real.isEmpty() ? QDir::cleanPath(info.absoluteFilePath()) : real;
}

// The box that says which chosen mailboxes were in the list already.
Notice alreadyListedNotice(const QStringList& skipped) {
    return appNotice(QStringLiteral("Already in the list, not added again (a mailbox is "
                                    "converted once):\r\n") +
                         skipped.join(QStringLiteral("\r\n")),
                     NoticeIcon::Information);
}

}  // namespace

bool MainWindow::AddFileToList(const QString& path) {
    // A mailbox listed twice would be converted twice: every message twice in the
    // store or the .mbox file, and the .eml files written over.
    const QString real = realPathOf(path);
    for (const QString& listed : grdFiles1_->column0()) {
        if (!listed.isEmpty() && realPathOf(listed) == real) return false;
    }
    bool first = false;
    if (grdFiles1_->Rows() == 1) {
        grdFiles1_->Row = 0;
        grdFiles1_->Col = 0;
        first = grdFiles1_->Text().isEmpty();
    }
    if (!first) grdFiles1_->setRows(grdFiles1_->Rows() + 1);
    grdFiles1_->Row = grdFiles1_->Rows() - 1;
    grdFiles1_->Col = 0;
    grdFiles1_->setText(path);
    lblCount1_->setText(QString::number(grdFiles1_->Rows()) + QStringLiteral(" files"));
    return true;
}

void MainWindow::ClearFileList() {
    grdFiles1_->setRows(1);
    grdFiles1_->Clear();
    lblCount1_->setText(QStringLiteral("0 files"));
}

void MainWindow::cmdAdd_Click() {
    const QStringList chosen =
        dialogs().openFileNames(this, QStringLiteral("IncrediMail Mailbox (*.imm)"));
    if (chosen.isEmpty()) return;
    setConvertWanted(true);
    QStringList skipped;
    for (const QString& path : chosen)
        if (!AddFileToList(path)) skipped << path;
    if (!skipped.isEmpty()) dialogs().messageBox(this, alreadyListedNotice(skipped));
}

void MainWindow::CmdAddFolder_Click() {
    const QString folder = BrowseForFolder(this, QStringLiteral("Choose Source Folder..."));
    if (folder.isEmpty()) return;
    addFolder(folder);
}

void MainWindow::addFolder(const QString& chosen) {
    const QString folder = withTrailingSeparator(chosen);
    QApplication::setOverrideCursor(Qt::WaitCursor);
    QStringList found;
    QString error;
    const bool walked = walkFolder(folder, found, error);
    if (!walked) {
        // Nothing of the tree is added: a half-listed tree would look complete.
        QApplication::restoreOverrideCursor();
        dialogs().messageBox(this, appNotice(QStringLiteral("The folder %1 could not be read "
                                                            "completely:\r\n%2\r\nNo file was "
                                                            "added to the list.")
                                                 .arg(folder, error),
                                             NoticeIcon::Exclamation));
        return;
    }
    int added = 0, skipped = 0;
    for (const QString& path : found) {
        if (!looksLikeMailbox(path)) continue;
        if (AddFileToList(path))
            ++added;
        else
            ++skipped;
    }
    QApplication::restoreOverrideCursor();
    setConvertWanted(added > 0);
    QString text = QString::number(added) + QStringLiteral(" Files Added to List.");
    if (skipped > 0) {
        text += QStringLiteral(
                    "\r\n%1 of the folder's mailboxes %2 in the list already and %3 "
                    "not added again.")
                    .arg(skipped)
                    .arg(skipped == 1 ? QStringLiteral("was") : QStringLiteral("were"))
                    .arg(skipped == 1 ? QStringLiteral("was") : QStringLiteral("were"));
    }
    dialogs().messageBox(this, appNotice(text, NoticeIcon::None));
}

void MainWindow::addDroppedPaths(const QStringList& paths) {
    QStringList skipped;
    for (const QString& path : paths) {
        const QFileInfo info(path);
        if (info.isDir()) {
            addFolder(path);
        } else if (looksLikeMailbox(path)) {
            setConvertWanted(true);
            if (!AddFileToList(path)) skipped << path;
        }
    }
    if (!skipped.isEmpty()) dialogs().messageBox(this, alreadyListedNotice(skipped));
}

void MainWindow::cmdClear1_Click() {
    grdFiles1_->Row = 0;
    grdFiles1_->Col = 0;
    if (grdFiles1_->Text().isEmpty()) return;
    const Answer answer = dialogs().messageBox(
        this,
        appNotice(QStringLiteral("Do you want to clear all the files in the list\r\n Proceed?"),
                  NoticeIcon::Question, NoticeButtons::YesNo));
    if (answer == Answer::Yes) ClearFileList();
}

// ---- the attachments option ---------------------------------------------------

void MainWindow::ChkAttachments_Click() {
    const bool ticked = ChkAttachments_->isChecked();
    txtAttachmentPath_->setEnabled(ticked);
    CmdAttachmentBrowse_->setEnabled(ticked);
}

void MainWindow::CmdAttachmentBrowse_Click() {
    const QString folder = BrowseForFolder(this, QStringLiteral("Choose Attachments Folder..."));
    if (folder.isEmpty()) return;
    txtAttachmentPath_->setText(withTrailingSeparator(folder));
}

// ---- help and exit --------------------------------------------------------------

void MainWindow::CmdHelp_Click() {
    const QString manual = helpFilePath();
    if (!QFileInfo::exists(manual)) {
        dialogs().messageBox(
            this, appNotice(QStringLiteral("The manual (%1) was not found beside the program or "
                                           "in %2.")
                                .arg(QString::fromLatin1(kHelpFileName),
                                     QString::fromLatin1(kSystemHelpFolder)),
                            NoticeIcon::Exclamation));
        return;
    }
    if (!OpenDocument(helpAddress())) {
        // Nothing on this system shows web pages: say where the manual is.
        dialogs().messageBox(
            this, appNotice(QStringLiteral("No web browser could be started to show the "
                                           "manual.\r\nThe manual is the file\r\n%1\r\nOpen "
                                           "it with any web browser.")
                                .arg(manual),
                            NoticeIcon::Information));
    }
}

void MainWindow::cmdEnd_Click() {
    const Answer answer =
        dialogs().messageBox(this, appNotice(QStringLiteral("Are you sure you want to exit now?"),
                                             NoticeIcon::Question, NoticeButtons::YesNo));
    if (answer == Answer::Yes) close();
}

void MainWindow::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    // A window manager that maximizes anyway (a double click on the title bar, a
    // keyboard shortcut) gets the window back at its one size.
    if (event->type() == QEvent::WindowStateChange &&
        (windowState() & (Qt::WindowMaximized | Qt::WindowFullScreen))) {
        setWindowState(windowState() & ~(Qt::WindowMaximized | Qt::WindowFullScreen));
    }
}

void MainWindow::closeEvent(QCloseEvent* event) {
    // Closing never refuses; a run in progress stops after its current message
    // and finishes the outputs it has open before the window goes.
    closing_ = true;
    stopRun();
    closing_ = false;  // the window may be shown again (it is not deleted on close)
    event->accept();
}

// ---- the conversion run -----------------------------------------------------------

void MainWindow::setConvertWanted(bool wanted) {
    convertWanted_ = wanted;
    updateConvertEnabled();
}

void MainWindow::updateConvertEnabled() {
    CmdConvert2PDF_->setEnabled(convertWanted_ && !runInProgress());
}

convert::RunOptions MainWindow::snapshotOptions() const {
    convert::RunOptions options;
    for (const QString& path : grdFiles1_->column0()) options.mailboxes.push_back(bytesOf(path));
    options.format = OptPST_->isChecked()    ? convert::Format::Pst
                     : OptMBOX_->isChecked() ? convert::Format::Mbox
                                             : convert::Format::Eml;
    options.attachments = ChkAttachments_->isChecked();
    options.attachmentFolder = bytesOf(txtAttachmentPath_->text());
    return options;
}

void MainWindow::CmdConvert2PDF_Click() {
    if (runInProgress()) return;
    if (!OptEML_->isChecked() && !OptPST_->isChecked() && !OptMBOX_->isChecked()) {
        dialogs().messageBox(this,
                             appNotice(QStringLiteral("Please select a option to convert file(s)."),
                                       NoticeIcon::Information));
        return;
    }
    if (ChkAttachments_->isChecked() && txtAttachmentPath_->text().trimmed().isEmpty()) {
        // The option is ticked but names no folder: running so would put back no
        // attachment at all. Ask for the folder; no folder chosen, no run.
        CmdAttachmentBrowse_Click();
        if (txtAttachmentPath_->text().trimmed().isEmpty()) return;
    }
    const QString folder = BrowseForFolder(this, QStringLiteral("Choose Folder to Save..."));
    if (folder.isEmpty()) return;

    ProgressBar1_->setRange(0, 100);
    convert::RunOptions options = snapshotOptions();
    options.outputFolder = std::filesystem::path(bytesOf(withTrailingSeparator(folder)));
    startRun(std::move(options));
}

void MainWindow::startRun(convert::RunOptions options) {
    run_ = std::make_unique<Run>();
    run_->options = std::move(options);
    run_->events = std::make_unique<RunEvents>(this, run_->gate);
    Run* run = run_.get();
    worker_ = QThread::create([run] {
        try {
            convert::ConversionRun conversion(run->options, *run->events);
            run->summary = conversion.run(run->cancel);
        } catch (const std::exception& e) {
            run->error = e.what();
        } catch (...) {
            run->error = "unknown failure";
        }
    });
    worker_->setObjectName(QStringLiteral("conversion run"));
    connect(worker_, &QThread::finished, this, &MainWindow::onRunFinished, Qt::QueuedConnection);
    updateConvertEnabled();
    worker_->start();
}

void MainWindow::stopRun() {
    if (!worker_) return;
    run_->cancel.store(true);
    // A notice waiting for its answer is taken away; the run goes on to its stop.
    run_->gate->release();
    if (runNotice_) delete runNotice_.data();
    // The run stops after its current message and closes what it has open; the
    // outputs must be whole, so the window waits for it.
    worker_->wait();
    onRunFinished();
}

void MainWindow::onRunFinished() {
    if (!worker_) return;  // already handled (the window was closed meanwhile)
    worker_->wait();
    delete worker_;
    worker_ = nullptr;
    std::unique_ptr<Run> run = std::move(run_);
    lastSummary_ = run->summary;
    updateConvertEnabled();
    if (closing_) return;

    if (!run->error.empty()) {
        // The run broke off: never report that as success.
        dialogs().messageBox(
            this, appNotice(QStringLiteral("The conversion stopped because of an error:\r\n%1\r\n"
                                           "Messages converted before it are kept in the output "
                                           "folder.")
                                .arg(QString::fromStdString(run->error)),
                            NoticeIcon::Warning));
    } else {
        dialogs().messageBox(this, convert::closingNotice(lastSummary_));
    }
    emit runFinished();
}

void MainWindow::applyText(Control control, const QString& text) {
    if (QLabel* label = labelFor(control)) label->setText(text);
}

void MainWindow::applyValue(Control control, double value) {
    if (QProgressBar* bar = barFor(control)) {
        const int v = qRound(value);
        bar->setValue(qBound(bar->minimum(), v, bar->maximum()));
    }
}

void MainWindow::applyRange(Control control, int min, int max) {
    if (QProgressBar* bar = barFor(control)) bar->setRange(min, max);
}

void MainWindow::showRunNotice(const Notice& notice, const std::shared_ptr<NoticeGate>& gate) {
    // The run that asked may have been stopped before the box could open.
    if (!run_ || run_->gate != gate || closing_) {
        gate->answer();
        return;
    }
    runNotice_ = dialogs().openMessageBox(this, notice, [gate](Answer) { gate->answer(); });
}

QLabel* MainWindow::labelFor(Control control) const {
    switch (control) {
        case Control::LblProgessCurrent:
            return LblProgessCurrent_;
        case Control::LblIMMFile:
            return LblIMMFile_;
        case Control::LblHappening:
            return LblHappening_;
        case Control::LblEmlsFound:
            return LblEmlsFound_;
        case Control::LblProgress:
            return LblProgress_;
        case Control::ProgressBar1:
        case Control::ProgressBar2:
            break;
    }
    return nullptr;
}

QProgressBar* MainWindow::barFor(Control control) const {
    if (control == Control::ProgressBar1) return ProgressBar1_;
    if (control == Control::ProgressBar2) return ProgressBar2_;
    return nullptr;
}

}  // namespace tp::app
