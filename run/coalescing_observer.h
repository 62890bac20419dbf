#pragma once
// Sits between a run and its observer and thins out passing steps (how far a
// search or a write has got): at most about `eventsPerSecond` of them are
// forwarded, a kind that came several times in between is forwarded once with its
// latest step, and flush() delivers every pending one at once. Every other step
// and every notice is forwarded as it comes, after the pending ones, so that the
// observer sees the steps in the order the run made them.
#include <array>
#include <chrono>
#include <functional>
#include <vector>

#include "run/run_types.h"

namespace tp::convert {

class CoalescingObserver : public RunObserver {
  public:
    using Clock = std::chrono::steady_clock;
    // eventsPerSecond <= 0 forwards every step as it comes.
    CoalescingObserver(RunObserver& target, int eventsPerSecond,
                       std::function<Clock::time_point()> now = &Clock::now);

    void progress(const RunProgress& p) override;
    void notice(const Notice& n) override;

    // Delivers every pending step now.
    void flush();

  private:
    struct Slot {
        bool pending = false;
        RunProgress step;
    };
    static constexpr std::size_t kSteps =
        static_cast<std::size_t>(RunProgress::Step::MailboxDone) + 1;

    RunObserver& target_;
    Clock::duration perEvent_{};
    std::function<Clock::time_point()> now_;
    Clock::time_point nextAllowed_{};
    std::array<Slot, kSteps> slots_{};
    std::vector<RunProgress::Step> order_;  // pending kinds, in the order they first came
};

}  // namespace tp::convert
