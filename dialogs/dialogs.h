#pragma once
// Every dialog and message box of the windows goes through this interface, so
// tests can script the answers and no test ever waits on a modal dialog.
#include <QString>
#include <QStringList>
#include <functional>

#include "common/notice.h"

class QWidget;

namespace tp::app {

enum class Answer { Ok, Yes, No };

class Dialogs {
  public:
    virtual ~Dialogs() = default;
    // A message box: text, title, icon and buttons from the notice (a beep first
    // when the notice asks for one), and the notice's detail under its text.
    // Waits for the answer; the parent takes no input meanwhile.
    virtual Answer messageBox(QWidget* parent, const Notice& notice) = 0;
    // The same box, but it leaves its parent usable and returns at once:
    // `answered` runs once, on the parent's thread, when the user answers. Returns
    // the box, so that its owner can take it away unanswered (by deleting it), or
    // null when there is no box to take away (already answered).
    virtual QWidget* openMessageBox(QWidget* parent, const Notice& notice,
                                    std::function<void(Answer)> answered) = 0;
    // The file dialog: several files may be chosen. Empty when cancelled.
    virtual QStringList openFileNames(QWidget* parent, const QString& filter) = 0;
    // The folder browser with a prompt. Empty when cancelled.
    virtual QString browseForFolder(QWidget* parent, const QString& prompt) = 0;
    // An input box; `ok` false when cancelled. The prompt's line breaks (CR LF or
    // a lone CR) start new lines.
    virtual QString inputBox(QWidget* parent, const QString& title, const QString& prompt,
                             const QString& defaultText, bool* ok) = 0;
    virtual void beep() = 0;
    // Opens a document or address with the program the desktop associates with it.
    // False when no program could be started to show it.
    virtual bool openDocument(const QString& pathOrUrl) = 0;
};

// The real dialogs (Qt). The process-wide instance can be replaced by tests.
Dialogs& dialogs();
void setDialogs(Dialogs* replacement);  // nullptr restores the real ones

}  // namespace tp::app
