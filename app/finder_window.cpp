#include "app/finder_window.h"

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

#include "dialogs/dialogs.h"

namespace tp::finder {

namespace {

// The controls need 7380 x 2085 twips (Frame1 and the File Name box in it); the
// window opens taller so that the report under them shows a hit's bytes, with
// Frame2 and its label along the bottom edge. It can grow (the File Name box and
// the report grow with it) but not shrink past the controls.
constexpr int kClientWidth = 7380;  // twips
constexpr int kClientHeight = 4920;
constexpr int kMinClientHeight = 3600;  // the controls, a few lines of report and Frame2
constexpr int kSurfaceTop = 2040;       // the report: under Command4's row, full width
constexpr int kMargin = 120;
constexpr int kFrame2Height = 375;
const QColor kPanelColour(255, 224, 192);

QString replacementTitle() {
    return QString::fromLatin1(kFinderTitle) + QStringLiteral(" STRING REPLACEMENT");
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

int FrmFinder::px(int twips) {
    return (twips + 7) / 15;
}

FrmFinder::FrmFinder(QWidget* parent)
    : QWidget(parent),
      ownShared_(std::make_unique<ScanShared>()),
      shared_(*ownShared_),
      scanner_(shared_, this) {
    buildControls();
}

FrmFinder::FrmFinder(ScanShared& shared, QWidget* parent)
    : QWidget(parent), shared_(shared), scanner_(shared_, this) {
    buildControls();
}

FrmFinder::~FrmFinder() {
    scanner_.setObserver(nullptr);
}

void FrmFinder::buildControls() {
    setObjectName(QStringLiteral("FrmFinder"));
    // The window has no title. An empty one would not do: the platform shows the
    // program's name in its place. A blank shows nothing.
    setWindowTitle(QStringLiteral(" "));
    setWindowIcon(finderIcon());
    resize(px(kClientWidth), px(kClientHeight));
    setMinimumSize(px(kClientWidth), px(kMinClientHeight));

    const QFont font = textFont();
    auto place = [](QWidget* w, int left, int top, int width, int height) {
        w->setGeometry(px(left), px(top), px(width), px(height));
    };
    auto panel = [&](const char* name, const QString& caption) {
        auto* box = new QGroupBox(caption, this);
        box->setObjectName(QString::fromLatin1(name));
        QPalette pal = box->palette();
        pal.setColor(QPalette::Window, kPanelColour);
        box->setPalette(pal);
        box->setAutoFillBackground(true);
        return box;
    };

    frame1_ = panel("Frame1", QString());
    place(frame1_, 0, 0, 7380, 1400);

    label1_ = new QLabel(QStringLiteral("File Name :"), frame1_);
    label1_->setObjectName(QStringLiteral("Label1"));
    place(label1_, 120, 120, 1215, 255);

    text1_ = new QLineEdit(frame1_);
    text1_->setObjectName(QStringLiteral("Text1"));
    place(text1_, 1440, 120, 5775, 360);

    label2_ = new QLabel(QStringLiteral("String :"), frame1_);
    label2_->setObjectName(QStringLiteral("Label2"));
    place(label2_, 480, 600, 855, 255);

    text2_ = new QLineEdit(frame1_);
    text2_->setObjectName(QStringLiteral("Text2"));
    place(text2_, 1440, 600, 2895, 360);

    command3_ = new QPushButton(QStringLiteral("Find"), frame1_);
    command3_->setObjectName(QStringLiteral("Command3"));
    place(command3_, 4440, 600, 855, 375);

    // "Open" has no command behind it.
    command1_ = new QPushButton(QStringLiteral("Open"), frame1_);
    command1_->setObjectName(QStringLiteral("Command1"));
    place(command1_, 5400, 600, 855, 375);

    check1_ = new QCheckBox(QStringLiteral("Case Sensitive"), frame1_);
    check1_->setObjectName(QStringLiteral("Check1"));
    check1_->setChecked(true);
    place(check1_, 1440, 1080, 1695, 255);

    command4_ = new QPushButton(QStringLiteral("Command4"), this);
    command4_->setObjectName(QStringLiteral("Command4"));
    place(command4_, 4440, 1560, 1215, 375);

    frame2_ = panel("Frame2", QStringLiteral("Frame2"));
    place(frame2_, 0, 4560, 7335, 375);

    label3_ = new QLabel(
        QStringLiteral("Finds a byte string in a file and overwrites it in place."), frame2_);
    label3_->setObjectName(QStringLiteral("Label3"));
    place(label3_, 120, 50, 7215, 250);

    surface_ = new QPlainTextEdit(this);
    surface_->setObjectName(QStringLiteral("Surface"));
    surface_->setReadOnly(true);
    surface_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    surface_->setFont(font);

    for (QWidget* w : {static_cast<QWidget*>(label1_), static_cast<QWidget*>(text1_),
                       static_cast<QWidget*>(label2_), static_cast<QWidget*>(text2_),
                       static_cast<QWidget*>(check1_), static_cast<QWidget*>(label3_)}) {
        w->setFont(font);
    }

    // Tab order: Text1, Text2, Check1, Find, Open, Command4 (labels and panels take
    // no focus), then the report.
    setTabOrder(text1_, text2_);
    setTabOrder(text2_, check1_);
    setTabOrder(check1_, command3_);
    setTabOrder(command3_, command1_);
    setTabOrder(command1_, command4_);
    setTabOrder(command4_, surface_);

    connect(command3_, &QPushButton::clicked, this, [this] { Command3_Click(); });
    connect(command4_, &QPushButton::clicked, this, [this] { Command4_Click(); });
    connect(check1_, &QCheckBox::toggled, this, [this](bool on) { scanner_.Check1 = on; });
    scanner_.Check1 = true;
}

// ---- commands ------------------------------------------------------------------

// A search text is bytes; a character beyond Latin-1 has no byte and would be
// searched as "?" instead.
bool FrmFinder::searchTextIsBytes() {
    for (QChar c : text2_->text()) {
        if (c.unicode() > 0xFF) {
            Notice n;
            n.text = "The string holds the character \"" + QString(c).toStdString() +
                     "\", which is not one byte !";
            n.title = kFinderTitle;
            n.icon = NoticeIcon::Exclamation;
            n.beep = true;
            app::dialogs().messageBox(this, n);
            return false;
        }
    }
    return true;
}

void FrmFinder::takeInputs() {
    scanner_.Text1 = QFile::encodeName(text1_->text()).toStdString();
    scanner_.Text2 = text2_->text().toLatin1().toStdString();
    scanner_.Check1 = check1_->isChecked();
}

void FrmFinder::Command3_Click() {
    if (!searchTextIsBytes()) return;
    takeInputs();
    const std::string before = scanner_.lastError();
    scanner_.Find_Click();
    reportScanError(before);
    afterStep();
}

void FrmFinder::Find_Click() {
    Command3_Click();
}

void FrmFinder::Command4_Click() {
    FindNext_Click();
}

void FrmFinder::FindNext_Click() {
    if (!searchTextIsBytes()) return;
    takeInputs();
    const std::string before = scanner_.lastError();
    scanner_.FindNext_Click();
    reportScanError(before);
    afterStep();
}

// A step that stopped on a read error prints "[EOF]" like one that reached the
// end; say so, so that a cut-short search is not taken for a complete one.
void FrmFinder::reportScanError(const std::string& before) {
    const std::string& error = scanner_.lastError();
    if (error.empty() || error == before) return;
    Notice n;
    n.text = "The search stopped early !\r\r" + error;
    n.title = kFinderTitle;
    n.icon = NoticeIcon::Exclamation;
    n.beep = true;
    app::dialogs().messageBox(this, n);
}

void FrmFinder::Open_MBOX(const QString& fmboxname) {
    takeInputs();
    scanner_.Open_MBOX(QFile::encodeName(fmboxname).toStdString());
    afterStep();
}

void FrmFinder::CloseFile() {
    scanner_.CloseFile();
    afterStep();
}

void FrmFinder::Close_Click() {
    if (!scanner_.isOpen()) {
        beep();
        return;
    }
    CloseFile();
}

void FrmFinder::Exit_Click() {
    if (scanner_.isOpen()) CloseFile();
    if (exitHandler_) {
        exitHandler_();
    } else {
        QCoreApplication::exit(0);
    }
}

void FrmFinder::Command2_Click() {
    Exit_Click();
}

void FrmFinder::closeEvent(QCloseEvent* event) {
    if (scanner_.isOpen()) Close_Click();
    event->accept();
}

// ---- replacement -----------------------------------------------------------------

bool FrmFinder::hasMatch() const {
    return scanner_.isOpen() && scanner_.MatchByte() >= 0;
}

void FrmFinder::replaceError(const QString& text) {
    Notice n;
    n.text = text.toStdString();
    n.title = "! STRING REPLACEMENT ERROR !";
    n.icon = NoticeIcon::Exclamation;
    n.beep = true;
    app::dialogs().messageBox(this, n);
    newText_.clear();
}

void FrmFinder::GetNewString() {
    newText_.clear();
    // Without a current match there is nothing to replace.
    if (!hasMatch()) {
        beep();
        return;
    }
    const std::int64_t length = scanner_.SearchLength();
    const QString searchText = latin1(scanner_.SearchText());
    const QString prompt = QStringLiteral("String Lenght = ") +
                           QString::fromStdString(withBlank(length)) +
                           QStringLiteral(" byte(s)\r\rCurrent Byte Location = ") +
                           QString::fromStdString(withBlank(scanner_.MatchByte())) +
                           QStringLiteral("\r\r\rReplace string \"") + searchText +
                           QStringLiteral("\" with following string :");
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
            QStringLiteral("Lenght of the new string can not be less than lenght of "
                           "current string !\r\rTry again ..."));
        return;
    }
    // Every character becomes one byte; one that has no byte would be written as
    // something else.
    for (QChar c : text) {
        if (c.unicode() > 0xFF) {
            replaceError(QStringLiteral("The character \"") + c +
                         QStringLiteral("\" can not be written as one byte !\r\rTry again ..."));
            return;
        }
    }
    // The bytes after the match stay where they are, so a longer text is cut to
    // the match's length: say so and show what would be written before it is.
    if (longer) {
        Notice n;
        n.text =
            "The new string is longer than the current string. A replacement keeps the "
            "length of the current string (" +
            std::to_string(length) +
            " byte(s)); only this would be written at Byte :" + withBlank(scanner_.MatchByte()) +
            "\r\r\"" + text.toStdString() + "\"\r\rWrite it ?";
        n.title = replacementTitle().toStdString();
        n.icon = NoticeIcon::Question;
        n.buttons = NoticeButtons::YesNo;
        if (app::dialogs().messageBox(this, n) != app::Answer::Yes) return;
    }
    newText_ = text;
}

void FrmFinder::ReplaceString() {
    // An empty NewText (cancelled, too short, or never asked) replaces nothing.
    if (newText_.isEmpty()) return;
    const QByteArray bytes = newText_.toLatin1();
    if (!hasMatch() || bytes.size() != scanner_.SearchLength()) {
        beep();
        return;
    }
    std::string error;
    if (!scanner_.writeAtMatch(
            std::string_view(bytes.constData(), static_cast<size_t>(bytes.size())), error)) {
        Notice n;
        n.text = "File could not be written !\r\r" + error;
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
void FrmFinder::showWritten(std::size_t written) {
    const std::int64_t at = scanner_.MatchByte();
    std::string line = std::string(kReportLineBreak) +
                       "Written :" + withBlank(static_cast<std::int64_t>(written)) +
                       " byte(s) at Byte :" + withBlank(at) + " of " + scanner_.FileName() +
                       kReportLineBreak;
    if (hitBytesAt_ != std::string::npos && hitBytesAt_ <= report_.size()) {
        QFile file(QFile::decodeName(QByteArray::fromStdString(scanner_.FileName())));
        QByteArray now;
        if (file.open(QIODevice::ReadOnly) && file.seek(at))
            now = file.read(static_cast<qint64>(hitBytesLength_));
        report_.resize(hitBytesAt_);
        if (now.size() == static_cast<qsizetype>(hitBytesLength_)) {
            report_.append(now.constData(), static_cast<std::size_t>(now.size()));
        } else {
            line += "The bytes could not be read back: " + file.errorString().toStdString() +
                    kReportLineBreak;
        }
        report_ += kReportLineBreak;
    }
    report_ += line;
    showReport();
}

// ---- the standalone program's commands -------------------------------------------

void FrmFinder::addReplaceCommands() {
    if (cmdReplace_) return;
    cmdReplace_ = new QPushButton(QStringLiteral("Replace..."), this);
    cmdReplace_->setObjectName(QStringLiteral("cmdReplace"));
    cmdReplace_->setGeometry(px(5760), px(1560), px(1335), px(375));
    cmdCloseFile_ = new QPushButton(QStringLiteral("Close"), frame1_);
    cmdCloseFile_->setObjectName(QStringLiteral("cmdCloseFile"));
    cmdCloseFile_->setGeometry(px(6360), px(600), px(735), px(375));
    setTabOrder(command1_, cmdCloseFile_);
    setTabOrder(cmdCloseFile_, command4_);
    setTabOrder(command4_, cmdReplace_);
    setTabOrder(cmdReplace_, surface_);
    connect(cmdReplace_, &QPushButton::clicked, this, [this] {
        GetNewString();
        ReplaceString();
    });
    connect(cmdCloseFile_, &QPushButton::clicked, this, [this] { Close_Click(); });
    cmdReplace_->show();
    cmdCloseFile_->show();
    afterStep();
}

// ---- the scanner's observer ------------------------------------------------------

void FrmFinder::notice(const Notice& n) {
    app::dialogs().messageBox(this, n);
}

void FrmFinder::beep() {
    app::dialogs().beep();
}

void FrmFinder::clearReport() {
    report_.clear();
    hitPending_ = false;
    hitBytesAt_ = std::string::npos;
    scheduleReport();
}

void FrmFinder::printReport(std::string_view text) {
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
void FrmFinder::scheduleReport() {
    if (reportPending_) return;
    reportPending_ = true;
    QMetaObject::invokeMethod(this, &FrmFinder::showReport, Qt::QueuedConnection);
}

void FrmFinder::hit(std::uint64_t offset, const std::string& happening, int bar) {
    hitPending_ = true;
    emit hitFound(offset, QString::fromStdString(happening), bar);
}

void FrmFinder::fileNameChanged(const std::string& text) {
    const QSignalBlocker block(text1_);
    text1_->setText(QFile::decodeName(QByteArray::fromStdString(text)));
}

void FrmFinder::focusFileName() {
    if (isVisible()) text1_->setFocus();
}

// ---- the print surface -----------------------------------------------------------

QString FrmFinder::reportText() const {
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

void FrmFinder::showReport() {
    reportPending_ = false;
    const QString text = reportText();
    if (surface_->toPlainText() != text) surface_->setPlainText(text);
}

void FrmFinder::afterStep() {
    showReport();
    if (cmdReplace_) cmdReplace_->setEnabled(hasMatch());
    if (cmdCloseFile_) cmdCloseFile_->setEnabled(scanner_.isOpen());
}

void FrmFinder::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    // Frame1 spans the window and the File Name box reaches to its right margin.
    frame1_->resize(width(), frame1_->height());
    text1_->resize(std::max(px(1200), frame1_->width() - text1_->x() - px(kMargin + 45)),
                   text1_->height());
    // Frame2 along the bottom, the report between Command4's row and it: the
    // report never covers the label.
    // Frame2 tall enough for its caption and the label under it.
    const QMargins margins = frame2_->contentsMargins();
    const int frame2Height = std::max(
        px(kFrame2Height), margins.top() + label3_->height() + std::max(margins.bottom(), px(60)));
    const int frame2Top = std::max(px(kSurfaceTop + 600), height() - frame2Height - px(60));
    frame2_->setGeometry(0, frame2Top, width(), frame2Height);
    label3_->setGeometry(px(kMargin), margins.top(),
                         std::max(0, frame2_->width() - 2 * px(kMargin)), label3_->height());
    const int left = px(kMargin);
    const int top = px(kSurfaceTop);
    surface_->setGeometry(left, top, std::max(px(600), width() - 2 * left),
                          std::max(px(300), frame2Top - top - px(60)));
}

}  // namespace tp::finder
