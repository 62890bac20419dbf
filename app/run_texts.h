#pragma once
// The sentences the windows show while a run or a search works, made from the
// run's numbers (%1, %2 are filled in by the window). Only the windows know them:
// the engine and the command line speak in numbers.

namespace tp::app {

struct RunTexts {
    const char* mailboxOf = "Mailbox %1 (of %2) ";  // the mailbox's row of the rows
    const char* searching = "Setting Mail Search Filter...";
    const char* found = "Found %1 message(s)";  // by the search so far, then in all
    const char* messages = "%1 Messages";       // messages found in the mailbox
    const char* saving = "Saving: %1 Bytes out of %2 Total Bytes.";  // message of mailbox
    const char* written = "%1 Bytes out of %2 Total Bytes.";         // written of message
    const char* saved = "Saved %1 Email Messages";                   // of the mailbox so far
};

inline constexpr RunTexts kRunTexts{};

}  // namespace tp::app
