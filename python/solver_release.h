// Freeing a Solver after a long search takes seconds (about 2 ms per megabyte
// of search states): it is never done while holding the interpreter lock,
// and a large one is freed in a thread of its own.
#pragma once

#include <memory>

#include "search/solver.h"

namespace dulmar {

// Call without the interpreter lock.
void free_solver(std::unique_ptr<Solver> solver);

// The deleter of the Python Solver's holder: called with the lock held, it
// lets go of the lock while the Solver is freed.
struct ReleasingSolverDeleter {
    void operator()(Solver* solver) const;
};

}  // namespace dulmar
