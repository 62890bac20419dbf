#pragma once
// The conversion run: every listed mailbox, one after another, every message of
// it one after another: find, cut, attachment pass, store in the chosen format.
// Synchronous; the window runs it on a worker thread. It can be cancelled
// between messages, and it finishes whatever output is open when it stops.
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "run/message_sink.h"
#include "run/run_types.h"

namespace tp::convert {

// The attachment pass over one message held in memory. Implementations remove the
// attachment parts that hold no content and, when the option is ticked, attach the
// files of the same names from the attachments folder in their place. `bytes` is
// replaced only when the message changed. Each attachment
// that could not be handled adds one entry to `problems` (the message is still
// exported); an attachment that was not there to be put back is a remark.
class AttachmentStep {
  public:
    virtual ~AttachmentStep() = default;
    virtual void apply(std::string& bytes, const RunOptions& options,
                       std::vector<std::string>& problems) = 0;
    // Remarks on the last message applied: things the report should say that are
    // no failure (the message is whole). Taking them empties the list.
    virtual std::vector<std::string> takeRemarks() { return {}; }
};

// What the run is built from; the defaults wire the real writers.
struct RunServices {
    std::function<std::unique_ptr<MessageSink>(Format)> makeSink;
    std::function<std::unique_ptr<AttachmentStep>()> makeAttachmentStep;  // may be null
    // How many label and bar changes a second reach the observer at most (the rest
    // are coalesced; final values always arrive). 0: every change, as it happens.
    int eventsPerSecond = 30;
};
RunServices defaultServices();

class ConversionRun {
  public:
    ConversionRun(RunOptions options, RunObserver& observer,
                  RunServices services = defaultServices());
    ~ConversionRun();

    // Runs to the end (or until `cancel` is seen between messages) and returns what
    // happened. Writes the failure report into the output folder when anything failed.
    RunSummary run(const std::atomic<bool>& cancel);

  private:
    struct Impl;
    std::unique_ptr<Impl> d_;
};

// Name of the failure report written into the output folder.
inline constexpr const char* kReportFileName = "Tessaport-report.txt";

}  // namespace tp::convert
