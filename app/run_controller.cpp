#include "app/run_controller.h"

#include <QThread>
#include <exception>
#include <string>

#include "run/conversion_run.h"

namespace tp::app {

// The run's observer: lives on the worker thread and forwards every event to the
// controller's thread as a queued call. The controller outlives the worker (it
// waits for it before it goes), and calls queued for a controller already gone
// are dropped. So are the calls of a run that has ended by the time they arrive
// (stopped, with its last steps still queued): they would show an old run's
// progress after its end, or in the next run's place.
class RunEvents final : public convert::RunObserver {
  public:
    RunEvents(RunController* controller, std::shared_ptr<NoticeGate> gate, std::uint64_t number)
        : controller_(controller), gate_(std::move(gate)), number_(number) {}

    void progress(const convert::RunProgress& p) override {
        RunController* c = controller_;
        QMetaObject::invokeMethod(
            c,
            [c, p, number = number_] {
                if (c->isCurrent(number)) emit c->progressed(p);
            },
            Qt::QueuedConnection);
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
        RunController* c = controller_;
        QMetaObject::invokeMethod(
            c, [c, n, gate] { c->raiseNotice(n, gate); }, Qt::QueuedConnection);
        std::unique_lock lock(gate->mutex);
        gate->changed.wait(lock, [&] { return !gate->waiting || gate->released; });
    }

  private:
    RunController* controller_;
    std::shared_ptr<NoticeGate> gate_;
    std::uint64_t number_;
};

struct RunController::Run {
    std::uint64_t number = 0;
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

RunController::RunController(QObject* parent) : QObject(parent) {}

RunController::~RunController() {
    stop();
}

void RunController::start(convert::RunOptions options) {
    if (running()) return;
    run_ = std::make_unique<Run>();
    run_->number = ++runsStarted_;
    run_->options = std::move(options);
    run_->events = std::make_unique<RunEvents>(this, run_->gate, run_->number);
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
    // A run that was stopped has been finished by stop(); its thread's own signal
    // may still be queued when the next run starts, and must not end that one.
    connect(
        worker_, &QThread::finished, this,
        [this, number = run_->number] {
            if (isCurrent(number)) onWorkerFinished();
        },
        Qt::QueuedConnection);
    worker_->start();
}

void RunController::stop() {
    if (!worker_) return;
    run_->cancel.store(true);
    // A notice waiting for its answer is taken away; the run goes on to its stop.
    run_->gate->release();
    emit stopping();
    // The run stops after its current message and closes what it has open; the
    // outputs must be whole, so the caller waits for it.
    worker_->wait();
    onWorkerFinished();
}

bool RunController::isCurrent(std::uint64_t number) const {
    return run_ && run_->number == number;
}

void RunController::onWorkerFinished() {
    if (!worker_) return;  // already handled (the run was stopped meanwhile)
    worker_->wait();
    delete worker_;
    worker_ = nullptr;
    const std::unique_ptr<Run> run = std::move(run_);
    emit finished(run->summary, QString::fromStdString(run->error));
}

void RunController::raiseNotice(const Notice& notice, const std::shared_ptr<NoticeGate>& gate) {
    // The run that asked may have been stopped before the box could open.
    if (!run_ || run_->gate != gate) {
        gate->answer();
        return;
    }
    emit noticeRaised(notice, [gate] { gate->answer(); });
}

}  // namespace tp::app
