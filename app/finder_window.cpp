#include "app/finder_window.h"

#include "app/run_texts.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QFile>
#include <QFont>
#include <QGroupBox>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMetaObject>
#include <QPainter>
#include <QPalette>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QResizeEvent>
#include <cstring>

#include "dialogs/dialogs.h"

namespace tp::finder {

namespace {

// The controls need 7380 x 2085 twips (the search panel and the File Name box in it); the
// window opens taller so that the report under them shows a hit's bytes, with
// the footer panel and its label along the bottom edge. It can grow (the File Name box and
// the report grow with it) but not shrink past the controls.
constexpr int kClientWidth = 7380;  // twips
constexpr int kClientHeight = 4920;
constexpr int kMinClientHeight = 3600;  // the controls, a few lines of report and the footer panel
constexpr int kSurfaceTop = 2040;       // the report: under the find-next row, full width
constexpr int kMargin = 120;
constexpr int kFooterHeight = 375;
const QColor kPanelColour(255, 224, 192);

// Where the controls sit when the window opens, in twips within their parent:
// the one place the window's geometry is written down (a resize then stretches
// the search panel, the file name box, the report and the footer panel).
struct Placement {
    const char* name;
    int left, top, width, height;
};
constexpr Placement kLayout[] = {
    {"searchPanel", 0, 0, 7380, 1400},
    {"fileNameCaption", 120, 120, 1215, 255},  // in searchPanel
    {"fileNameEdit", 1440, 120, 5775, 360},
    {"searchTextCaption", 480, 600, 855, 255},
    {"searchTextEdit", 1440, 600, 2895, 360},
    {"findButton", 4440, 600, 855, 375},
    {"openButton", 5400, 600, 855, 375},
    {"closeFileButton", 6360, 600, 735, 375},
    {"caseSensitiveCheck", 1440, 1080, 1695, 255},
    {"findNextButton", 4440, 1560, 1215, 375},
    {"replaceButton", 5760, 1560, 1335, 375},
    {"footerPanel", 0, 4560, 7335, 375},
    {"descriptionLabel", 120, 50, 7215, 250},  // in footerPanel
};

// A control named `name` with its text, placed as the layout table says.
template <class W>
W* make(const QString& text, QWidget* parent, const char* name) {
    auto* widget = new W(text, parent);
    widget->setObjectName(QString::fromLatin1(name));
    for (const Placement& p : kLayout) {
        if (std::strcmp(p.name, name) == 0) {
            widget->setGeometry(StringFinderWindow::px(p.left), StringFinderWindow::px(p.top),
                                StringFinderWindow::px(p.width), StringFinderWindow::px(p.height));
        }
    }
    return widget;
}

QString replacementTitle() {
    return QString::fromLatin1(kFinderTitle) + StringFinderWindow::tr(" STRING REPLACEMENT");
}

QString latin1(std::string_view bytes) {
    return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

// Blanks (spaces only) trimmed at both ends.
QString trimBlanks(const QString& s) {
    qsizetype begin = 0;
    qsizetype end = s.size();
    while (begin < end && s[begin] == u' ') ++begin;
    while (end > begin && s[end - 1] == u' ') --end;
    return s.mid(begin, end - begin);
}

QFont textFont() {
    QFont f(QStringLiteral("Arial"));
    f.setPointSizeF(9.75);
    return f;
}

QIcon finderIcon() {
    QPixmap pm(32, 32);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(kPanelColour);
    p.setPen(QPen(QColor(90, 60, 30), 3));
    p.drawEllipse(QRectF(4, 4, 17, 17));
    p.setPen(QPen(QColor(90, 60, 30), 5, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(19, 19), QPointF(28, 28));
    return QIcon(pm);
}

}  // namespace

int StringFinderWindow::px(int twips) {
    return (twips + 7) / 15;
}

StringFinderWindow::StringFinderWindow(QWidget* parent)
    : QWidget(parent),
      ownShared_(std::make_unique<ScanShared>()),
      shared_(*ownShared_),
      scanner_(shared_, this) {
    buildControls();
}

StringFinderWindow::StringFinderWindow(ScanShared& shared, QWidget* parent)
    : QWidget(parent), shared_(shared), scanner_(shared_, this) {
    buildControls();
}

StringFinderWindow::~StringFinderWindow() {
    scanner_.setObserver(nullptr);
}

void StringFinderWindow::buildControls() {
    setObjectName(QStringLiteral("stringFinderWindow"));
    // The window has no title. An empty one would not do: the platform shows the
    // program's name in its place. A blank shows nothing.
    setWindowTitle(QStringLiteral(" "));
    setWindowIcon(finderIcon());
    resize(px(kClientWidth), px(kClientHeight));
    setMinimumSize(px(kClientWidth), px(kMinClientHeight));

    const QFont font = textFont();
    auto panel = [&](QGroupBox* box) {
        QPalette pal = box->palette();
        pal.setColor(QPalette::Window, kPanelColour);
        box->setPalette(pal);
        box->setAutoFillBackground(true);
        return box;
    };

    searchPanel_ = panel(make<QGroupBox>(QString(), this, "searchPanel"));
    fileNameCaption_ = make<QLabel>(tr("File Name :"), searchPanel_, "fileNameCaption");
    fileNameEdit_ = make<QLineEdit>(QString(), searchPanel_, "fileNameEdit");
    searchTextCaption_ = make<QLabel>(tr("String :"), searchPanel_, "searchTextCaption");
    searchTextEdit_ = make<QLineEdit>(QString(), searchPanel_, "searchTextEdit");
    findButton_ = make<QPushButton>(tr("Find"), searchPanel_, "findButton");
    // "Open" has no command behind it.
    openButton_ = make<QPushButton>(tr("Open"), searchPanel_, "openButton");
    caseSensitiveCheck_ = make<QCheckBox>(tr("Case Sensitive"), searchPanel_, "caseSensitiveCheck");
    caseSensitiveCheck_->setChecked(true);
    findNextButton_ = make<QPushButton>(tr("Command4"), this, "findNextButton");
    footerPanel_ = panel(make<QGroupBox>(tr("Frame2"), this, "footerPanel"));
    descriptionLabel_ =
        make<QLabel>(tr("Finds a byte string in a file and overwrites it in place."), footerPanel_,
                     "descriptionLabel");

    reportArea_ = new QPlainTextEdit(this);
    reportArea_->setObjectName(QStringLiteral("reportArea"));
    reportArea_->setReadOnly(true);
    reportArea_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    reportArea_->setFont(font);

    for (QWidget* w :
         {static_cast<QWidget*>(fileNameCaption_), static_cast<QWidget*>(fileNameEdit_),
          static_cast<QWidget*>(searchTextCaption_), static_cast<QWidget*>(searchTextEdit_),
          static_cast<QWidget*>(caseSensitiveCheck_), static_cast<QWidget*>(descriptionLabel_)}) {
        w->setFont(font);
    }

    // Tab order: file name, search text, case sensitivity, Find, Open, find next (labels and panels
    // take no focus), then the report.
    setTabOrder(fileNameEdit_, searchTextEdit_);
    setTabOrder(searchTextEdit_, caseSensitiveCheck_);
    setTabOrder(caseSensitiveCheck_, findButton_);
    setTabOrder(findButton_, openButton_);
    setTabOrder(openButton_, findNextButton_);
    setTabOrder(findNextButton_, reportArea_);

    connect(findButton_, &QPushButton::clicked, this, [this] { find(); });
    connect(findNextButton_, &QPushButton::clicked, this, [this] { findNext(); });
    connect(caseSensitiveCheck_, &QCheckBox::toggled, this,
            [this](bool on) { scanner_.caseSensitive = on; });
    scanner_.caseSensitive = true;
}

// ---- commands ------------------------------------------------------------------

// A search text is bytes; a character beyond Latin-1 has no byte and would be
// searched as "?" instead.
bool StringFinderWindow::searchTextIsBytes() {
    for (QChar c : searchTextEdit_->text()) {
        if (c.unicode() > 0xFF) {
            Notice n;
            n.text = tr("The string holds the character \"%1\", which is not one byte !")
                         .arg(c)
                         .toStdString();
            n.title = kFinderTitle;
            n.icon = NoticeIcon::Exclamation;
            n.beep = true;
            app::dialogs().messageBox(this, n);
            return false;
        }
    }
    return true;
}

void StringFinderWindow::takeInputs() {
    scanner_.fileNameInput = QFile::encodeName(fileNameEdit_->text()).toStdString();
    scanner_.searchInput = searchTextEdit_->text().toLatin1().toStdString();
    scanner_.caseSensitive = caseSensitiveCheck_->isChecked();
}

void StringFinderWindow::find() {
    if (!searchTextIsBytes()) return;
    takeInputs();
    const std::string before = scanner_.lastError();
    scanner_.findFirst();
    reportScanError(before);
    afterStep();
}

void StringFinderWindow::findNext() {
    if (!searchTextIsBytes()) return;
    takeInputs();
    const std::string before = scanner_.lastError();
    scanner_.findNext();
    reportScanError(before);
    afterStep();
}

// A step that stopped on a read error prints "[EOF]" like one that reached the
// end; say so, so that a cut-short search is not taken for a complete one.
void StringFinderWindow::reportScanError(const std::string& before) {
    const std::string& error = scanner_.lastError();
    if (error.empty() || error == before) return;
    Notice n;
    n.text = tr("The search stopped early !\r\r").toStdString() + error;
    n.title = kFinderTitle;
    n.icon = NoticeIcon::Exclamation;
    n.beep = true;
    app::dialogs().messageBox(this, n);
}

void StringFinderWindow::openFile(const QString& path) {
    takeInputs();
    scanner_.openMailbox(QFile::encodeName(path).toStdString());
    afterStep();
}

void StringFinderWindow::closeFile() {
    scanner_.closeFile();
    afterStep();
}

void StringFinderWindow::closeFileClicked() {
    if (!scanner_.isOpen()) {
        beep();
        return;
    }
    closeFile();
}

void StringFinderWindow::exit() {
    if (scanner_.isOpen()) closeFile();
    if (exitHandler_) {
        exitHandler_();
    } else {
        QCoreApplication::exit(0);
    }
}

void StringFinderWindow::closeEvent(QCloseEvent* event) {
    if (scanner_.isOpen()) closeFileClicked();
    event->accept();
}

// ---- replacement -----------------------------------------------------------------

bool StringFinderWindow::hasMatch() const {
    return scanner_.isOpen() && scanner_.matchOffset() >= 0;
}

void StringFinderWindow::replaceError(const QString& text) {
    Notice n;
    n.text = text.toStdString();
    n.title = tr("! STRING REPLACEMENT ERROR !").toStdString();
    n.icon = NoticeIcon::Exclamation;
    n.beep = true;
    app::dialogs().messageBox(this, n);
    newText_.clear();
}

void StringFinderWindow::askReplacement() {
    newText_.clear();
    // Without a current match there is nothing to replace.
    if (!hasMatch()) {
        beep();
        return;
    }
    const std::int64_t length = scanner_.searchLength();
    const QString searchText = latin1(scanner_.searchText());
    const QString prompt =
        tr("String Lenght = %1 byte(s)\r\rCurrent Byte Location = %2\r\r\rReplace string "
           "\"%3\" with following string :")
            .arg(QString::fromStdString(withBlank(length)),
                 QString::fromStdString(withBlank(scanner_.matchOffset())), searchText);
    bool ok = false;
    QString answer = app::dialogs().inputBox(this, replacementTitle(), prompt, searchText, &ok);
    if (!ok) answer.clear();

    QString text = trimBlanks(answer);
    if (text.size() > 2 && text.startsWith(u'"') && text.endsWith(u'"')) {
        text = text.mid(1, text.size() - 2);
    } else if (text.isEmpty()) {
        return;
    }
    const bool longer = text.size() > length;
    if (longer) text.truncate(static_cast<qsizetype>(length));
    if (text.size() < length) {
        replaceError(
            tr("Lenght of the new string can not be less than lenght of "
               "current string !\r\rTry again ..."));
        return;
    }
    // Every character becomes one byte; one that has no byte would be written as
    // something else.
    for (QChar c : text) {
        if (c.unicode() > 0xFF) {
            replaceError(
                tr("The character \"%1\" can not be written as one byte !\r\rTry again ...")
                    .arg(c));
            return;
        }
    }
    // The bytes after the match stay where they are, so a longer text is cut to
    // the match's length: say so and show what would be written before it is.
    if (longer) {
        Notice n;
        n.text = tr("The new string is longer than the current string. A replacement keeps the "
                    "length of the current string (%1 byte(s)); only this would be written at "
                    "Byte :%2\r\r\"%3\"\r\rWrite it ?")
                     .arg(QString::number(length),
                          QString::fromStdString(withBlank(scanner_.matchOffset())), text)
                     .toStdString();
        n.title = replacementTitle().toStdString();
        n.icon = NoticeIcon::Question;
        n.buttons = NoticeButtons::YesNo;
        if (app::dialogs().messageBox(this, n) != app::Answer::Yes) return;
    }
    newText_ = text;
}

void StringFinderWindow::writeReplacement() {
    // An empty replacementText (cancelled, too short, or never asked) replaces nothing.
    if (newText_.isEmpty()) return;
    const QByteArray bytes = newText_.toLatin1();
    if (!hasMatch() || bytes.size() != scanner_.searchLength()) {
        beep();
        return;
    }
    std::string error;
    if (!scanner_.writeAtMatch(
            std::string_view(bytes.constData(), static_cast<size_t>(bytes.size())), error)) {
        Notice n;
        n.text = tr("File could not be written !\r\r").toStdString() + error;
        n.title = kFinderTitle;
        n.icon = NoticeIcon::Exclamation;
        n.beep = true;
        app::dialogs().messageBox(this, n);
        return;
    }
    showWritten(static_cast<std::size_t>(bytes.size()));
}

// After a write the report shows the hit's bytes as they now are on disk (read
// back, not as typed), then what was written where.
void StringFinderWindow::showWritten(std::size_t written) {
    const std::int64_t at = scanner_.matchOffset();
    // The file name is bytes, never text: it is appended as it is.
    std::string line =
        std::string(kReportLineBreak) +
        tr("Written :%1 byte(s) at Byte :%2 of ")
            .arg(QString::fromStdString(withBlank(static_cast<std::int64_t>(written))),
                 QString::fromStdString(withBlank(at)))
            .toStdString() +
        scanner_.fileName() + kReportLineBreak;
    if (hitBytesAt_ != std::string::npos && hitBytesAt_ <= report_.size()) {
        QFile file(QFile::decodeName(QByteArray::fromStdString(scanner_.fileName())));
        QByteArray now;
        if (file.open(QIODevice::ReadOnly) && file.seek(at))
            now = file.read(static_cast<qint64>(hitBytesLength_));
        report_.resize(hitBytesAt_);
        if (now.size() == static_cast<qsizetype>(hitBytesLength_)) {
            report_.append(now.constData(), static_cast<std::size_t>(now.size()));
        } else {
            line += tr("The bytes could not be read back: ").toStdString() +
                    file.errorString().toStdString() + kReportLineBreak;
        }
        report_ += kReportLineBreak;
    }
    report_ += line;
    showReport();
}

// ---- the standalone program's commands -------------------------------------------

void StringFinderWindow::addReplaceCommands() {
    if (replaceButton_) return;
    replaceButton_ = make<QPushButton>(tr("Replace..."), this, "replaceButton");
    closeFileButton_ = make<QPushButton>(tr("Close"), searchPanel_, "closeFileButton");
    setTabOrder(openButton_, closeFileButton_);
    setTabOrder(closeFileButton_, findNextButton_);
    setTabOrder(findNextButton_, replaceButton_);
    setTabOrder(replaceButton_, reportArea_);
    connect(replaceButton_, &QPushButton::clicked, this, [this] {
        askReplacement();
        writeReplacement();
    });
    connect(closeFileButton_, &QPushButton::clicked, this, [this] { closeFileClicked(); });
    replaceButton_->show();
    closeFileButton_->show();
    afterStep();
}

// ---- the scanner's observer ------------------------------------------------------

void StringFinderWindow::notice(const Notice& n) {
    app::dialogs().messageBox(this, n);
}

void StringFinderWindow::beep() {
    app::dialogs().beep();
}

void StringFinderWindow::clearReport() {
    report_.clear();
    hitPending_ = false;
    hitBytesAt_ = std::string::npos;
    scheduleReport();
}

void StringFinderWindow::printReport(std::string_view text) {
    if (hitPending_) {  // the bytes of the hit just reported
        hitPending_ = false;
        hitBytesAt_ = report_.size();
        hitBytesLength_ = text.size();
    }
    report_.append(text);
    scheduleReport();
}

// The report area catches up once control returns to the event loop (or at the
// end of the step), not once per printed piece.
void StringFinderWindow::scheduleReport() {
    if (reportPending_) return;
    reportPending_ = true;
    QMetaObject::invokeMethod(this, &StringFinderWindow::showReport, Qt::QueuedConnection);
}

void StringFinderWindow::hit(std::uint64_t offset, int found, int percent) {
    hitPending_ = true;
    emit hitFound(offset, tr(app::kRunTexts.found).arg(found), percent);
}

void StringFinderWindow::fileNameChanged(const std::string& text) {
    const QSignalBlocker block(fileNameEdit_);
    fileNameEdit_->setText(QFile::decodeName(QByteArray::fromStdString(text)));
}

void StringFinderWindow::focusFileName() {
    if (isVisible()) fileNameEdit_->setFocus();
}

// ---- the print surface -----------------------------------------------------------

QString StringFinderWindow::reportText() const {
    // Bytes through Latin-1. CR LF, a lone CR and a lone LF each end a line; other
    // control bytes show as their control pictures so that nothing goes missing.
    QString out;
    out.reserve(static_cast<qsizetype>(report_.size()));
    for (size_t i = 0; i < report_.size(); ++i) {
        const auto c = static_cast<unsigned char>(report_[i]);
        if (c == '\r') {
            if (i + 1 < report_.size() && report_[i + 1] == '\n') ++i;
            out += u'\n';
        } else if (c == '\n' || c == '\t') {
            out += QChar(c);
        } else if (c < 0x20) {
            out += QChar(0x2400 + c);
        } else if (c == 0x7F) {
            out += QChar(0x2421);
        } else {
            out += QChar(c);
        }
    }
    return out;
}

void StringFinderWindow::showReport() {
    reportPending_ = false;
    const QString text = reportText();
    if (reportArea_->toPlainText() != text) reportArea_->setPlainText(text);
}

void StringFinderWindow::afterStep() {
    showReport();
    if (replaceButton_) replaceButton_->setEnabled(hasMatch());
    if (closeFileButton_) closeFileButton_->setEnabled(scanner_.isOpen());
}

void StringFinderWindow::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    // The search panel spans the window and the File Name box reaches to its right margin.
    searchPanel_->resize(width(), searchPanel_->height());
    fileNameEdit_->resize(
        std::max(px(1200), searchPanel_->width() - fileNameEdit_->x() - px(kMargin + 45)),
        fileNameEdit_->height());
    // The footer panel along the bottom, the report between the find-next row and it: the
    // report never covers the label.
    // The footer panel tall enough for its caption and the label under it.
    const QMargins margins = footerPanel_->contentsMargins();
    const int frame2Height =
        std::max(px(kFooterHeight),
                 margins.top() + descriptionLabel_->height() + std::max(margins.bottom(), px(60)));
    const int frame2Top = std::max(px(kSurfaceTop + 600), height() - frame2Height - px(60));
    footerPanel_->setGeometry(0, frame2Top, width(), frame2Height);
    descriptionLabel_->setGeometry(px(kMargin), margins.top(),
                                   std::max(0, footerPanel_->width() - 2 * px(kMargin)),
                                   descriptionLabel_->height());
    const int left = px(kMargin);
    const int top = px(kSurfaceTop);
    reportArea_->setGeometry(left, top, std::max(px(600), width() - 2 * left),
                             std::max(px(300), frame2Top - top - px(60)));
}

}  // namespace tp::finder
