#include "python/solver_release.h"

#include <cstddef>
#include <exception>
#include <thread>

#include <pybind11/pybind11.h>

namespace dulmar {

namespace {

// Past this size a thread of its own frees the search, so that the caller,
// and a Ctrl-C, go on without waiting.
constexpr size_t kFreeAsideBytes = size_t{32} << 20;

}  // namespace

void free_solver(std::unique_ptr<Solver> solver) {
    if (solver == nullptr || solver->search_memory.bytes < kFreeAsideBytes) return;
    try {
        std::thread([doomed = std::move(solver)]() mutable { doomed.reset(); }).detach();
    } catch (const std::exception&) {
        // No thread to spare (system_error, bad_alloc): the solver was freed right here instead.
    }
}

void ReleasingSolverDeleter::operator()(Solver* solver) const {
    std::unique_ptr<Solver> owned(solver);
    if (!PyGILState_Check()) {
        free_solver(std::move(owned));
        return;
    }
    pybind11::gil_scoped_release unlocked;
    free_solver(std::move(owned));
}

}  // namespace dulmar
