// The SolveControl of the Python bindings. It is built and destroyed while
// the calling thread holds the interpreter lock; during the solve the lock is
// released and the control takes it back only to run signal handlers (on the
// main thread, at most every 20 ms) and to call the user's on_improvement
// callable. An exception from either is kept, stops the solve, and is raised
// again by raise_pending() once the solver has stopped.
#pragma once

#include <chrono>
#include <memory>

#include <pybind11/pybind11.h>

#include "search/solve_control.h"

namespace dulmar {

class Solver;

class PythonSolveControl : public SolveControl {
public:
    // `on_improvement` is None or a callable taking an anytime entry dict.
    explicit PythonSolveControl(pybind11::object on_improvement);

    StopReason poll() override;
    bool on_improvement(double time, double max_cost, double sum_cost) override;

    // Hands itself to `solver` for the lifetime of the scope.
    class Attached {
    public:
        Attached(Solver& solver, PythonSolveControl& control);
        ~Attached();
        Attached(const Attached&) = delete;
        Attached& operator=(const Attached&) = delete;

    private:
        Solver& solver_;
        PythonSolveControl& control_;
    };

    // With the lock held: raises the kept exception, if any, with `partial`
    // (unless None) as its attribute partial_result.
    void raise_pending(pybind11::handle partial);

private:
    pybind11::object callback_;
    bool check_signals_ = false;
    // Why this control asked to stop; sticky, so later stages stop too.
    StopReason stop_ = StopReason::None;
    std::unique_ptr<pybind11::error_already_set> error_;
    std::chrono::steady_clock::time_point next_signal_check_;
};

}  // namespace dulmar
