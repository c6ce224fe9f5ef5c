// Lets a caller watch and stop a solve. The Solver asks its control between
// units of work (search expansions, later improvement iterations) and tells it
// of every entry that joins the anytime list; the Python bindings implement it
// to check for signals and call the user's callback. Being a StopCheck, the
// same control also serves the set-up before the solve.
#pragma once

#include "core/stop_check.h"
#include "core/stop_reason.h"

namespace dulmar {

class SolveControl : public StopCheck {
public:
    // poll(): anything but None ends the solve the way its time limit would:
    // routes found so far are kept and `timeout` stays false. Called between
    // units of work, so an implementation keeps it cheap and throttles
    // expensive checks itself.

    // One call per entry that joins the anytime list (processor seconds since
    // the search began, largest route cost, sum of route costs); returning
    // false ends the solve with StopReason::Callback.
    virtual bool on_improvement(double time, double max_cost, double sum_cost) = 0;
};

}  // namespace dulmar
