#pragma once
// Shared pieces of the run tests: generated messages and mailboxes, an observer
// that records the run's steps.
#include <algorithm>
#include <atomic>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "run/conversion_run.h"
#include "support/support.h"

namespace tp::test {

// A plain text message with CR LF line ends and a blank line at its end.
inline std::string textMessage(const std::string& subject, const std::string& body = "Hello.") {
    return "Received: from mail.example.org by mx.example.net; Mon, 4 May 2009 10:00:00 +0200\r\n"
           "From: Ann Example <ann@example.org>\r\nTo: bob@example.net\r\nSubject: " +
           subject +
           "\r\nDate: Mon, 4 May 2009 10:00:00 +0200\r\nMIME-Version: 1.0\r\n"
           "Content-Type: text/plain; charset=us-ascii\r\n\r\n" +
           body + "\r\n\r\n";
}

// One step of a run in a few words: "mailbox 1/2 Inbox.imm", "found 3", "done 1 saved 1".
inline std::string said(const convert::RunProgress& p) {
    using Step = convert::RunProgress::Step;
    const auto n = [](auto v) { return std::to_string(v); };
    switch (p.step) {
        case Step::RunStarted:
            return "run " + n(p.mailboxes) + " " + n(p.runBytes);
        case Step::MailboxStarted:
            return "mailbox " + n(p.mailbox + 1) + "/" + n(p.mailboxes) + " " + p.name;
        case Step::Searching:
            return "search " + n(p.found);
        case Step::MessagesFound:
            return "found " + n(p.messages);
        case Step::MessageStarted:
            return "saving " + n(p.message) + ": " + n(p.messageBytes) + " of " + n(p.mailboxBytes);
        case Step::MessageWritten:
            return "written " + n(p.written) + " of " + n(p.toWrite);
        case Step::MessageDone:
            return "done " + n(p.message) + (p.stored ? " saved " + n(p.exported) : " not saved");
        case Step::MailboxDone:
            return "end " + n(p.mailbox + 1) + " saved " + n(p.exported);
    }
    return "?";
}

class RecordingObserver : public convert::RunObserver {
  public:
    void progress(const convert::RunProgress& p) override {
        steps.push_back(p);
        if (onStep) onStep(p);
    }
    void notice(const Notice& n) override { notices.push_back(n); }

    // The steps said, those of the kinds given (every kind when none is).
    std::vector<std::string> trace(std::vector<convert::RunProgress::Step> kinds = {}) const {
        std::vector<std::string> out;
        for (const convert::RunProgress& p : steps)
            if (kinds.empty() || std::find(kinds.begin(), kinds.end(), p.step) != kinds.end())
                out.push_back(said(p));
        return out;
    }

    std::vector<convert::RunProgress> steps;
    std::vector<Notice> notices;
    std::function<void(const convert::RunProgress&)> onStep;
};

}  // namespace tp::test
