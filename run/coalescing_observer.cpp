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

void CoalescingObserver::textChanged(Control c, const std::string& text) {
    if (perEvent_ == Clock::duration::zero()) {
        target_.textChanged(c, text);
        return;
    }
    Slot& s = slots_[static_cast<std::size_t>(c)];
    s.isText = true;
    s.text = text;
    changed(c);
}

void CoalescingObserver::valueChanged(Control c, double value) {
    if (perEvent_ == Clock::duration::zero()) {
        target_.valueChanged(c, value);
        return;
    }
    Slot& s = slots_[static_cast<std::size_t>(c)];
    s.isText = false;
    s.value = value;
    changed(c);
}

void CoalescingObserver::rangeChanged(Control c, int min, int max) {
    if (perEvent_ != Clock::duration::zero()) {
        // Set again at every message by some writers: forwarding it would flush
        // every time, and the labels would show only what comes before it.
        Slot& s = slots_[static_cast<std::size_t>(c)];
        if (s.ranged && s.min == min && s.max == max) return;
        s.ranged = true;
        s.min = min;
        s.max = max;
    }
    flush();
    target_.rangeChanged(c, min, max);
}

void CoalescingObserver::notice(const Notice& n) {
    flush();
    target_.notice(n);
}

void CoalescingObserver::changed(Control c) {
    Slot& s = slots_[static_cast<std::size_t>(c)];
    if (!s.pending) {
        s.pending = true;
        order_.push_back(c);
    }
    if (now_() >= nextAllowed_) flush();
}

void CoalescingObserver::flush() {
    if (order_.empty()) return;
    int forwarded = 0;
    for (Control c : order_) {
        Slot& s = slots_[static_cast<std::size_t>(c)];
        s.pending = false;
        if (s.isText) {
            if (s.delivered && s.lastText == s.text) continue;
            s.lastText = s.text;
            s.delivered = true;
            target_.textChanged(c, s.text);
        } else {
            if (s.delivered && s.lastValue == s.value) continue;
            s.lastValue = s.value;
            s.delivered = true;
            target_.valueChanged(c, s.value);
        }
        ++forwarded;
    }
    order_.clear();
    nextAllowed_ = now_() + perEvent_ * forwarded;
}

}  // namespace tp::convert
