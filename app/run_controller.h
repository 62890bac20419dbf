#pragma once
// The conversion run beside the main window: it runs the engine on a worker
// thread and hands every event back on the window's thread as a signal, so that
// everything the window shows changes on its own thread. A notice of the run (a
// mailbox that cannot be searched) holds the run until it is answered; stopping
// the run lets it go on without an answer.
#include <QObject>
#include <QString>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "common/notice.h"
#include "run/run_types.h"

class QThread;

namespace tp::app {

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

class RunController : public QObject {
    Q_OBJECT
  public:
    explicit RunController(QObject* parent = nullptr);
    // Stops a run in progress first (its outputs are closed whole).
    ~RunController() override;

    bool running() const { return worker_ != nullptr; }
    // Starts a run; nothing happens while one is in progress.
    void start(convert::RunOptions options);
    // Stops a run in progress after its current message and waits until it has
    // finished its outputs; `finished` has been emitted when this returns.
    void stop();

  signals:
    // Where the run is, as numbers (the run thins out the passing steps).
    void progressed(const tp::convert::RunProgress& progress);
    // The run waits until `answer` is called (once, whatever the user chose).
    void noticeRaised(const tp::Notice& notice, const std::function<void()>& answer);
    // The run is being stopped: an open notice is no longer waited for.
    void stopping();
    // The run has ended; `error` is set when it broke off (an exception left it).
    // running() is false by now.
    void finished(const tp::convert::RunSummary& summary, const QString& error);

  private:
    friend class RunEvents;
    struct Run;
    // Whether `number` is the run in progress (runs are numbered from 1 as they start).
    bool isCurrent(std::uint64_t number) const;
    void onWorkerFinished();
    void raiseNotice(const Notice& notice, const std::shared_ptr<NoticeGate>& gate);

    std::unique_ptr<Run> run_;
    QThread* worker_ = nullptr;
    std::uint64_t runsStarted_ = 0;
};

}  // namespace tp::app
