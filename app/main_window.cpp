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
#include <algorithm>
#include <cstring>
#include <string>

#include "app/folder_walk.h"
#include "app/mailbox_list.h"
#include "app/run_controller.h"
#include "app/run_texts.h"
#include "app/shell_services.h"
#include "common/help_links.h"
#include "dialogs/dialogs.h"
#include "run/conversion_run.h"

static void initTessaportResources() {
    Q_INIT_RESOURCE(resources);
}

namespace tp::app {
namespace {

// The layout is given in twips; 15 twips make one pixel at 96 dpi.
int px(int twips) {
    return (twips + 7) / 15;
}

// Where every control sits, in twips within its parent: the one place the
// window's geometry is written down.
struct Placement {
    const char* name;
    int left, top, width, height;
};
constexpr Placement kLayout[] = {
    {"bannerImage", 0, 0, 9000, 1275},
    {"bannerLine", 0, 1280, 9000, 15},  // one pixel high
    {"addFilesButton", 240, 1440, 2895, 375},
    {"addFolderButton", 3360, 1440, 3135, 375},
    {"clearListButton", 7440, 1440, 1335, 375},
    {"fileCountLabel", 270, 2040, 8535, 255},
    {"mailboxList", 240, 2280, 8535, 1575},
    {"attachmentsCheck", 240, 3960, 8535, 255},
    {"attachmentFolderEdit", 240, 4320, 7095, 380},
    {"attachmentBrowseButton", 7440, 4320, 1335, 375},
    {"formatGroup", 240, 4800, 8535, 1455},
    {"formatPanel", 120, 240, 8295, 1095},  // in formatGroup
    {"emlOption", 0, 120, 8055, 255},       // in formatPanel
    {"pstOption", 0, 480, 8055, 255},
    {"mboxOption", 0, 840, 8055, 255},
    {"convertingCaption", 240, 6315, 1815, 255},
    {"activityLabel", 2040, 6315, 6855, 255},
    {"mailboxIcon", 240, 6555, 240, 240},
    {"mailboxCountLabel", 600, 6600, 8175, 255},
    {"readingCaption", 600, 6840, 1335, 255},
    {"mailboxNameLabel", 1920, 6840, 6855, 255},
    {"mailboxProgressBar", 600, 7080, 8175, 255},
    {"foundCaption", 600, 7365, 1335, 255},
    {"messagesFoundLabel", 1920, 7365, 6855, 255},
    {"messageIcon", 600, 7575, 240, 240},
    {"savingLabel", 960, 7575, 7815, 255},
    {"runProgressBar", 240, 7920, 8535, 255},
    {"convertButton", 3120, 8280, 2775, 435},
    {"footer", 0, 8880, 9015, 855},
    {"footerPanel", 240, 9000, 8655, 495},
    {"helpButton", 0, 0, 1695, 375},  // in footerPanel
    {"exitButton", 7200, 0, 1335, 375},
};

QRect placementOf(const char* name) {
    for (const Placement& p : kLayout) {
        if (std::strcmp(p.name, name) == 0)
            return QRect(px(p.left), px(p.top), px(p.width), px(p.height));
    }
    Q_ASSERT_X(false, "placementOf", name);
    return {};
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

// A control named `name`, placed as the layout table says.
template <class W>
W* make(QWidget* parent, const char* name) {
    auto* widget = new W(parent);
    widget->setObjectName(QString::fromLatin1(name));
    widget->setGeometry(placementOf(name));
    return widget;
}

QLabel* makeLabel(QWidget* parent, const char* name, const QString& text,
                  const QColor* colour = nullptr, bool bold = false) {
    auto* label = make<QLabel>(parent, name);
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

QPushButton* makeButton(QWidget* parent, const char* name, const QString& text) {
    auto* button = make<QPushButton>(parent, name);
    button->setText(text);
    return button;
}

QLabel* makePicture(QWidget* parent, const char* name, const QString& resource) {
    auto* picture = make<QLabel>(parent, name);
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

MainWindow::MainWindow(QWidget* parent)
    // The window has one size: its title bar offers Minimize and Close, never
    // Maximize (CustomizeWindowHint makes the platform take these buttons as given).
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint) {
    initTessaportResources();
    setObjectName(QStringLiteral("mainWindow"));
    setWindowTitle(tr("Tessaport Pro"));
    QIcon icon(QStringLiteral(":/tessaport/icon.png"));
    icon.addFile(QStringLiteral(":/tessaport/icon64.png"));
    setWindowIcon(icon);
    setFont(windowFont());
    setFixedSize(px(kWidthTwips), px(kHeightTwips));
    buildControls();
    mailboxList_->fitColumn();

    run_ = new RunController(this);
    connect(run_, &RunController::progressed, this, &MainWindow::applyProgress);
    connect(run_, &RunController::noticeRaised, this, &MainWindow::showRunNotice);
    connect(run_, &RunController::stopping, this, [this] {
        if (runNotice_) delete runNotice_.data();
    });
    connect(run_, &RunController::finished, this, &MainWindow::onRunFinished);

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

bool MainWindow::runInProgress() const {
    return run_ && run_->running();
}

void MainWindow::buildControls() {
    // Created in this order, which is also the order in which they overlap.
    makePicture(this, "bannerImage", QStringLiteral(":/tessaport/banner.png"));

    auto* line = make<QWidget>(this, "bannerLine");
    QPalette linePalette = line->palette();
    linePalette.setColor(QPalette::Window, kLineRed);
    line->setPalette(linePalette);
    line->setAutoFillBackground(true);

    addFilesButton_ =
        makeButton(this, "addFilesButton", tr("Select IncrediMail (*.imm) file(s)..."));
    addFolderButton_ =
        makeButton(this, "addFolderButton", tr("Select folder having (*.imm) file(s)..."));
    clearListButton_ = makeButton(this, "clearListButton", tr("Clear file(s)..."));
    fileCountLabel_ = makeLabel(this, "fileCountLabel", tr("0 files"));

    mailboxList_ = make<MailboxList>(this, "mailboxList");

    attachmentsCheck_ = make<QCheckBox>(this, "attachmentsCheck");
    attachmentsCheck_->setText(
        tr("I have Attachments folder and want to save attachments to exported messages"));
    attachmentFolderEdit_ = make<QLineEdit>(this, "attachmentFolderEdit");
    attachmentFolderEdit_->setEnabled(false);
    attachmentBrowseButton_ = makeButton(this, "attachmentBrowseButton", tr("Browse..."));
    attachmentBrowseButton_->setEnabled(false);

    formatGroup_ = make<QGroupBox>(this, "formatGroup");
    formatGroup_->setTitle(tr(" I want to convert incredimail messages to"));
    auto* formatPanel = make<QWidget>(formatGroup_, "formatPanel");
    emlOption_ = make<QRadioButton>(formatPanel, "emlOption");
    emlOption_->setText(
        tr("(.eml) files          -     (Outlook Express, Windows Mail, Windows Live Mail)"));
    emlOption_->setChecked(true);
    pstOption_ = make<QRadioButton>(formatPanel, "pstOption");
    pstOption_->setText(tr("(.pst) files          -     (MS Outlook)"));
    mboxOption_ = make<QRadioButton>(formatPanel, "mboxOption");
    mboxOption_->setText(
        tr("(.mbox) files      -     (Mac Mail, Thunderbird, Entourage, Evolution)"));

    makeLabel(this, "convertingCaption", tr("Converting Messages..."));
    activityLabel_ = makeLabel(this, "activityLabel", QString(), &kBlue, true);
    makePicture(this, "mailboxIcon", QStringLiteral(":/tessaport/mailbox16.png"));
    mailboxCountLabel_ = makeLabel(this, "mailboxCountLabel", tr("Mailbox  0 (of 0)"));
    makeLabel(this, "readingCaption", tr("Reading          :"), &kDarkRed, true);
    mailboxNameLabel_ = makeLabel(this, "mailboxNameLabel", QString());
    mailboxProgressBar_ = make<QProgressBar>(this, "mailboxProgressBar");
    makeLabel(this, "foundCaption", tr("Emails Found :"), &kDarkRed, true);
    messagesFoundLabel_ = makeLabel(this, "messagesFoundLabel", QString());
    makePicture(this, "messageIcon", QStringLiteral(":/tessaport/message16.png"));
    savingLabel_ = makeLabel(this, "savingLabel", tr("Saving :"));
    runProgressBar_ = make<QProgressBar>(this, "runProgressBar");
    for (QProgressBar* bar : {runProgressBar_, mailboxProgressBar_}) {
        bar->setRange(0, 100);
        bar->setValue(0);
        bar->setTextVisible(false);
    }

    convertButton_ = makeButton(this, "convertButton", tr("Convert"));
    convertButton_->setEnabled(false);

    auto* footer = make<QLabel>(this, "footer");
    footer->setStyleSheet(
        QStringLiteral("QLabel { background: white; border: 1px solid silver; }"));
    auto* footerPanel = make<QWidget>(this, "footerPanel");
    fillWhite(footerPanel);
    helpButton_ = makeButton(footerPanel, "helpButton", tr("&Help Manual"));
    exitButton_ = makeButton(footerPanel, "exitButton", tr("E&xit"));

    connect(addFilesButton_, &QPushButton::clicked, this, &MainWindow::addFilesClicked);
    connect(addFolderButton_, &QPushButton::clicked, this, &MainWindow::addFolderClicked);
    connect(clearListButton_, &QPushButton::clicked, this, &MainWindow::clearListClicked);
    connect(attachmentsCheck_, &QCheckBox::toggled, this, &MainWindow::attachmentsToggled);
    connect(attachmentBrowseButton_, &QPushButton::clicked, this,
            &MainWindow::attachmentBrowseClicked);
    connect(convertButton_, &QPushButton::clicked, this, &MainWindow::convertClicked);
    connect(helpButton_, &QPushButton::clicked, this, &MainWindow::helpClicked);
    connect(exitButton_, &QPushButton::clicked, this, &MainWindow::exitClicked);
    connect(mailboxList_, &MailboxList::pathsDropped, this, &MainWindow::addDroppedPaths);
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
    return appNotice(MainWindow::tr("Already in the list, not added again (a mailbox is "
                                    "converted once):\r\n") +
                         skipped.join(QStringLiteral("\r\n")),
                     NoticeIcon::Information);
}

}  // namespace

bool MainWindow::addFileToList(const QString& path) {
    // A mailbox listed twice would be converted twice: every message twice in the
    // store or the .mbox file, and the .eml files written over.
    const QString real = realPathOf(path);
    for (const QString& listed : mailboxList_->paths()) {
        if (!listed.isEmpty() && realPathOf(listed) == real) return false;
    }
    mailboxList_->appendPath(path);
    fileCountLabel_->setText(tr("%1 files").arg(mailboxList_->rowCount()));
    return true;
}

void MainWindow::clearFileList() {
    mailboxList_->clearPaths();
    fileCountLabel_->setText(tr("0 files"));
}

void MainWindow::addFilesClicked() {
    const QStringList chosen = dialogs().openFileNames(this, tr("IncrediMail Mailbox (*.imm)"));
    if (chosen.isEmpty()) return;
    setConvertWanted(true);
    QStringList skipped;
    for (const QString& path : chosen)
        if (!addFileToList(path)) skipped << path;
    if (!skipped.isEmpty()) dialogs().messageBox(this, alreadyListedNotice(skipped));
}

void MainWindow::addFolderClicked() {
    const QString folder = browseForFolder(this, tr("Choose Source Folder..."));
    if (folder.isEmpty()) return;
    addFolder(folder);
}

void MainWindow::addFolder(const QString& chosen) {
    const QString folder = withTrailingSeparator(chosen);
    QApplication::setOverrideCursor(Qt::WaitCursor);
    FolderWalk walk;
    if (!walk.run(QFile::encodeName(folder).toStdString())) {
        // Nothing of the tree is added: a half-listed tree would look complete.
        QApplication::restoreOverrideCursor();
        dialogs().messageBox(this, appNotice(tr("The folder %1 could not be read "
                                                "completely:\r\n%2\r\nNo file was "
                                                "added to the list.")
                                                 .arg(folder, QString::fromStdString(walk.error())),
                                             NoticeIcon::Exclamation));
        return;
    }
    int added = 0, skipped = 0;
    for (const std::string& bytes : walk.files()) {
        const QString path = QFile::decodeName(QByteArray::fromStdString(bytes));
        if (!looksLikeMailbox(path)) continue;
        if (addFileToList(path))
            ++added;
        else
            ++skipped;
    }
    QApplication::restoreOverrideCursor();
    setConvertWanted(added > 0);
    QString text = tr("%1 Files Added to List.").arg(added);
    if (skipped > 0) {
        const QString verb = skipped == 1 ? tr("was") : tr("were");
        text += tr("\r\n%1 of the folder's mailboxes %2 in the list already and %3 "
                   "not added again.")
                    .arg(skipped)
                    .arg(verb, verb);
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
            if (!addFileToList(path)) skipped << path;
        }
    }
    if (!skipped.isEmpty()) dialogs().messageBox(this, alreadyListedNotice(skipped));
}

void MainWindow::clearListClicked() {
    if (mailboxList_->isEmpty()) return;
    const Answer answer = dialogs().messageBox(
        this, appNotice(tr("Do you want to clear all the files in the list\r\n Proceed?"),
                        NoticeIcon::Question, NoticeButtons::YesNo));
    if (answer == Answer::Yes) clearFileList();
}

// ---- the attachments option ---------------------------------------------------

void MainWindow::attachmentsToggled() {
    const bool ticked = attachmentsCheck_->isChecked();
    attachmentFolderEdit_->setEnabled(ticked);
    attachmentBrowseButton_->setEnabled(ticked);
}

void MainWindow::attachmentBrowseClicked() {
    const QString folder = browseForFolder(this, tr("Choose Attachments Folder..."));
    if (folder.isEmpty()) return;
    attachmentFolderEdit_->setText(withTrailingSeparator(folder));
}

// ---- help and exit --------------------------------------------------------------

void MainWindow::helpClicked() {
    const QString manual = helpFilePath();
    if (!QFileInfo::exists(manual)) {
        dialogs().messageBox(this,
                             appNotice(tr("The manual (%1) was not found beside the program or "
                                          "in %2.")
                                           .arg(QString::fromLatin1(kHelpFileName),
                                                QString::fromLatin1(kSystemHelpFolder)),
                                       NoticeIcon::Exclamation));
        return;
    }
    if (!openDocument(helpAddress())) {
        // Nothing on this system shows web pages: say where the manual is.
        dialogs().messageBox(this, appNotice(tr("No web browser could be started to show the "
                                                "manual.\r\nThe manual is the file\r\n%1\r\nOpen "
                                                "it with any web browser.")
                                                 .arg(manual),
                                             NoticeIcon::Information));
    }
}

void MainWindow::exitClicked() {
    const Answer answer =
        dialogs().messageBox(this, appNotice(tr("Are you sure you want to exit now?"),
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
    convertButton_->setEnabled(convertWanted_ && !runInProgress());
}

convert::RunOptions MainWindow::snapshotOptions() const {
    convert::RunOptions options;
    for (const QString& path : mailboxList_->paths()) options.mailboxes.push_back(bytesOf(path));
    options.format = pstOption_->isChecked()    ? convert::Format::Pst
                     : mboxOption_->isChecked() ? convert::Format::Mbox
                                                : convert::Format::Eml;
    options.attachments = attachmentsCheck_->isChecked();
    options.attachmentFolder = bytesOf(attachmentFolderEdit_->text());
    return options;
}

void MainWindow::convertClicked() {
    if (runInProgress()) return;
    if (!emlOption_->isChecked() && !pstOption_->isChecked() && !mboxOption_->isChecked()) {
        dialogs().messageBox(this, appNotice(tr("Please select a option to convert file(s)."),
                                             NoticeIcon::Information));
        return;
    }
    if (attachmentsCheck_->isChecked() && attachmentFolderEdit_->text().trimmed().isEmpty()) {
        // The option is ticked but names no folder: running so would put back no
        // attachment at all. Ask for the folder; no folder chosen, no run.
        attachmentBrowseClicked();
        if (attachmentFolderEdit_->text().trimmed().isEmpty()) return;
    }
    const QString folder = browseForFolder(this, tr("Choose Folder to Save..."));
    if (folder.isEmpty()) return;

    runProgressBar_->setRange(0, 100);
    convert::RunOptions options = snapshotOptions();
    options.outputFolder = std::filesystem::path(bytesOf(withTrailingSeparator(folder)));
    run_->start(std::move(options));
    updateConvertEnabled();
}

void MainWindow::stopRun() {
    // The run stops after its current message and closes what it has open; the
    // outputs must be whole, so the window waits for it.
    if (run_) run_->stop();
}

void MainWindow::onRunFinished(const convert::RunSummary& summary, const QString& error) {
    lastSummary_ = summary;
    updateConvertEnabled();
    if (closing_) return;

    if (!error.isEmpty()) {
        // The run broke off: never report that as success.
        dialogs().messageBox(this,
                             appNotice(tr("The conversion stopped because of an error:\r\n%1\r\n"
                                          "Messages converted before it are kept in the output "
                                          "folder.")
                                           .arg(error),
                                       NoticeIcon::Warning));
    } else {
        dialogs().messageBox(this, convert::closingNotice(lastSummary_));
    }
    emit runFinished();
}

void MainWindow::showRunNotice(const Notice& notice, const std::function<void()>& answer) {
    // A window on its way out answers at once: the run is being stopped.
    if (closing_) {
        answer();
        return;
    }
    runNotice_ = dialogs().openMessageBox(this, notice, [answer](Answer) { answer(); });
}

// A bar's value, kept inside its range.
static void setBar(QProgressBar* bar, int value) {
    bar->setValue(qBound(bar->minimum(), value, bar->maximum()));
}

void MainWindow::applyProgress(const convert::RunProgress& progress) {
    using Step = convert::RunProgress::Step;
    const RunTexts& t = kRunTexts;
    switch (progress.step) {
        case Step::RunStarted:
            break;
        case Step::MailboxStarted:
            mailboxCountLabel_->setText(
                tr(t.mailboxOf).arg(progress.mailbox + 1).arg(progress.mailboxes));
            mailboxNameLabel_->setText(QString::fromUtf8(progress.name));
            activityLabel_->setText(tr(t.searching));
            messagesFoundLabel_->setText(QString());
            savingLabel_->setText(QString());
            messagesCounted_ = false;
            break;
        case Step::Searching:
            activityLabel_->setText(tr(t.found).arg(progress.found));
            setBar(mailboxProgressBar_, progress.searchedPercent);
            break;
        case Step::MessagesFound:
            messagesFoundLabel_->setText(tr(t.messages).arg(progress.messages));
            activityLabel_->setText(tr(t.found).arg(progress.messages));
            messagesCounted_ = true;
            break;
        case Step::MessageStarted:
            savingLabel_->setText(
                tr(t.saving).arg(progress.messageBytes).arg(progress.mailboxBytes));
            break;
        case Step::MessageWritten:
            savingLabel_->setText(tr(t.written).arg(progress.written).arg(progress.toWrite));
            if (progress.toWrite > 0 && progress.written <= progress.toWrite)
                setBar(mailboxProgressBar_,
                       static_cast<int>(progress.written * 100 / progress.toWrite));
            break;
        case Step::MessageDone:
            if (progress.stored) savingLabel_->setText(tr(t.saved).arg(progress.exported));
            break;
        case Step::MailboxDone: {
            // A mailbox that could not be read was not searched: none found in it.
            if (!messagesCounted_) messagesFoundLabel_->setText(tr(t.messages).arg(0));
            const float share = static_cast<float>(progress.mailbox + 1) /
                                static_cast<float>(std::max(progress.mailboxes, 1)) * 100.0f;
            setBar(runProgressBar_, qRound(static_cast<double>(share)));
            break;
        }
    }
}

}  // namespace tp::app
