#include "run/coalescing_observer.h"

#include <utility>

namespace tp::convert {

CoalescingObserver::CoalescingObserver(RunObserver& target, int eventsPerSecond,
                                       std::function<Clock::time_point()> now)
    : target_(target), now_(std::move(now)) {
    if (eventsPerSecond > 0) {
        perEvent_ =
            std::chrono::duration_cast<Clock::duration>(std::chrono::seconds(1)) / eventsPerSecond;
    }
}

void CoalescingObserver::progress(const RunProgress& p) {
    if (perEvent_ == Clock::duration::zero() || !passingStep(p.step)) {
        flush();
        target_.progress(p);
        return;
    }
    Slot& s = slots_[static_cast<std::size_t>(p.step)];
    if (!s.pending) {
        s.pending = true;
        order_.push_back(p.step);
    }
    s.step = p;
    if (now_() >= nextAllowed_) flush();
}

void CoalescingObserver::notice(const Notice& n) {
    flush();
    target_.notice(n);
}

void CoalescingObserver::flush() {
    if (order_.empty()) return;
    int forwarded = 0;
    for (RunProgress::Step step : order_) {
        Slot& s = slots_[static_cast<std::size_t>(step)];
        s.pending = false;
        target_.progress(s.step);
        ++forwarded;
    }
    order_.clear();
    nextAllowed_ = now_() + perEvent_ * forwarded;
}

}  // namespace tp::convert
