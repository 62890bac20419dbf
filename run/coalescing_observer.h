#pragma once
// Sits between a run and its observer and thins out rapid changes: at most about
// `eventsPerSecond` changes are forwarded, a control that changed several times in
// between is forwarded once with its latest value, and flush() delivers every
// pending value at once. Notices and ranges are forwarded in order, after a flush;
// a range a control already has is not forwarded again.
#include <array>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "run/run_types.h"

namespace tp::convert {

class CoalescingObserver : public RunObserver {
  public:
    using Clock = std::chrono::steady_clock;
    // eventsPerSecond <= 0 forwards every change as it comes.
    CoalescingObserver(RunObserver& target, int eventsPerSecond,
                       std::function<Clock::time_point()> now = &Clock::now);

    void textChanged(Control c, const std::string& text) override;
    void valueChanged(Control c, double value) override;
    void rangeChanged(Control c, int min, int max) override;
    void notice(const Notice& n) override;
    void progress(const RunProgress& p) override { target_.progress(p); }

    // Delivers every pending change now.
    void flush();

  private:
    struct Slot {
        bool pending = false;
        bool delivered = false;  // `last...` holds what the observer shows
        bool isText = false;
        std::string text;
        double value = 0;
        std::string lastText;
        double lastValue = 0;
        bool ranged = false;  // the range below was forwarded
        int min = 0, max = 0;
    };
    void changed(Control c);

    RunObserver& target_;
    Clock::duration perEvent_{};
    std::function<Clock::time_point()> now_;
    Clock::time_point nextAllowed_{};
    std::array<Slot, 7> slots_{};
    std::vector<Control> order_;  // pending controls, in the order they first changed
};

}  // namespace tp::convert
