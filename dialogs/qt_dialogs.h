#pragma once
// How the real dialogs are built, apart from showing them, so that tests can look
// at the boxes a user would see (their lines and their size) without waiting on
// one. Every box keeps within the screen: its texts are broken into lines that
// fit, and the box is never larger than the screen's free area.
#include <QString>
#include <memory>

#include "common/notice.h"

class QFontMetrics;
class QInputDialog;
class QMessageBox;
class QWidget;

namespace tp::app {

// The text with every line break (CR LF, a lone CR, a lone LF) as one line feed.
QString displayLines(const QString& text);

// The text broken into lines no wider than `maxWidth` pixels: after the last blank
// that fits, or inside a word that is wider than a line by itself. Breaks already
// there stay; nothing else changes (removing the line feeds gives back the text).
QString fitLines(const QString& text, const QFontMetrics& metrics, int maxWidth);

// The widest a dialog's text may be over `parent` (or on the primary screen).
int maxTextWidth(const QWidget* parent);

// The boxes as the real dialogs show them, not yet shown.
std::unique_ptr<QMessageBox> makeMessageBox(QWidget* parent, const Notice& notice);
std::unique_ptr<QInputDialog> makeInputBox(QWidget* parent, const QString& title,
                                           const QString& prompt, const QString& defaultText);

// Keeps a dialog within the free area of its screen: no larger, and placed inside.
void fitOnScreen(QWidget* dialog);

}  // namespace tp::app
