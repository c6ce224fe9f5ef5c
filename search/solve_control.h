// Lets a caller watch and stop a solve. The Solver asks its control between
// units of work (search expansions, later improvement iterations) and tells it
// of every entry that joins the anytime list; the Python bindings implement it
// to check for signals and call the user's callback.
#pragma once

#include "core/stop_reason.h"

namespace dulmar {

class SolveControl {
public:
    virtual ~SolveControl() = default;
    // Anything but None ends the solve the way its time limit would: routes
    // found so far are kept and `timeout` stays false. Called between units
    // of work, so an implementation keeps it cheap and throttles expensive
    // checks itself.
    virtual StopReason poll() = 0;
    // One call per entry that joins the anytime list (processor seconds since
    // the search began, largest route cost, sum of route costs); returning
    // false ends the solve with StopReason::Callback.
    virtual bool on_improvement(double time, double max_cost, double sum_cost) = 0;
};

}  // namespace dulmar
