// Lets a caller stop long work that is not a search: reading and parsing an
// instance, building its tables, preparing a stage. The work polls between
// pieces of a few milliseconds each; when the check answers anything but
// None it gives up by throwing SolveStopped. search/solve_control.h extends
// the same interface, so one control serves the set-up and the solve.
#pragma once

#include <stdexcept>

#include "core/stop_reason.h"

namespace dulmar {

class StopCheck {
public:
    virtual ~StopCheck() = default;
    // Cheap to call often: an implementation throttles expensive checks itself.
    virtual StopReason poll() = 0;
};

// Work that a StopCheck stopped before it was done.
class SolveStopped : public std::runtime_error {
public:
    explicit SolveStopped(StopReason why) : std::runtime_error("stopped before the solve began"), reason(why) {}
    StopReason reason;
};

// Throws SolveStopped when `check` (may be null) asks to stop.
inline void poll_or_stop(StopCheck* check) {
    if (check == nullptr) return;
    const StopReason reason = check->poll();
    if (reason != StopReason::None) throw SolveStopped(reason);
}

}  // namespace dulmar
