#include <memory>
#include <stdexcept>
#include <unordered_set>

#include <pybind11/stl.h>

#include "core/problem.h"
#include "core/result.h"
#include "driver/solve_driver.h"
#include "python/bindings.h"
#include "python/conversions.h"
#include "python/python_solve_control.h"
#include "python/solver_release.h"
#include "search/solver.h"

namespace py = pybind11;

namespace dulmar {

namespace {

// Solvers whose solve() runs with the interpreter lock released. Only read and
// changed while the lock is held.
std::unordered_set<const Solver*>& solving() {
    static std::unordered_set<const Solver*> busy;
    return busy;
}

void require_idle(const Solver& solver) {
    if (solving().count(&solver) != 0) {
        throw std::runtime_error("this Solver is solving; call it again once solve() has returned");
    }
}

class SolvingMark {
public:
    explicit SolvingMark(const Solver& solver) : solver_(solver) {
        require_idle(solver);
        solving().insert(&solver);
    }
    ~SolvingMark() { solving().erase(&solver_); }
    SolvingMark(const SolvingMark&) = delete;
    SolvingMark& operator=(const SolvingMark&) = delete;

private:
    const Solver& solver_;
};

int solve(Solver& solver, py::object on_improvement) {
    PythonSolveControl control(std::move(on_improvement));
    int found = 0;
    {
        const SolvingMark mark(solver);
        py::gil_scoped_release unlocked;
        const PythonSolveControl::Attached attached(solver, control);
        found = run_solve(solver);
    }
    control.raise_pending(py::none());
    return found;
}

using SolverHolder = std::unique_ptr<Solver, ReleasingSolverDeleter>;

// Sets a Solver up on a copy of the problem without the interpreter lock, so
// other threads run meanwhile and Ctrl-C stops a long set-up (large cost
// tables): the KeyboardInterrupt is raised here.
SolverHolder make_solver(py::handle problem, py::handle options) {
    auto copy = std::make_unique<Problem>(checked_value<const Problem&>(problem, "Solver: problem", "a Problem"));
    Options chosen = checked_value<Options>(options, "Solver: options", "an Options");
    PythonSolveControl control{py::none()};
    SolverHolder solver;
    try {
        py::gil_scoped_release unlocked;
        solver.reset(new Solver(*copy, std::move(chosen), &control));
        copy.reset();
    } catch (const SolveStopped&) {
        control.raise_pending(py::none());
        throw;  // stopped by nothing the control knows of
    }
    control.raise_pending(py::none());
    return solver;
}

}  // namespace

void bind_solver(py::module_& module) {
    py::class_<Result>(module, "Result")
        .def_property_readonly("n_generated", [](const Result& r) { return r.n_generated; })
        .def_property_readonly("n_expanded", [](const Result& r) { return r.n_expanded; })
        .def_property_readonly("timeout", [](const Result& r) { return r.timeout; })
        .def_property_readonly("last_update_time", [](const Result& r) { return r.last_update_time; })
        .def_property_readonly("stop_reason", [](const Result& r) { return std::string(stop_reason_name(r.stop_reason)); })
        .def_property_readonly("paths", [](const Result& r) { return r.paths; })
        .def_property_readonly("times", [](const Result& r) { return r.times; })
        .def_property_readonly("improve_iterations", [](const Result& r) { return r.improve_iterations; });

    // Freed without the interpreter lock, as the JSON road frees its solver.
    py::class_<Solver, std::unique_ptr<Solver, ReleasingSolverDeleter>>(module, "Solver")
        .def(py::init(&make_solver), py::arg("problem"), py::arg("options"))
        .def("solve", &solve, "Run the VOK solver. Returns 1 on success, 0 on failure.",
             py::arg("on_improvement") = py::none())
        .def("get_result", [](Solver& solver) {
            require_idle(solver);
            return solver.get_result();
        })
        .def("get_result_process", [](const Solver& solver) {
            require_idle(solver);
            return solver.get_result_process();
        });
}

}  // namespace dulmar
