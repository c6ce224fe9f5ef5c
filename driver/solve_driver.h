// Runs a whole solve as its options ask: the focal search alone, or, with
// the option improve, the search for a first solution and then the
// improvement stage on the best one for the rest of the processor-time
// budget (on an instance too large for the search the stage builds the first
// solution itself). It sits above search/ and improve/, which know nothing of
// each other; the bindings and every other caller solve through it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "search/solver.h"

namespace dulmar {

// Share of the budget the search may spend without reaching a solution
// before the stage builds its own.
constexpr double kSearchShareWithoutGoal = 0.1;

// Once it has a solution, the search goes on only while each new solution
// comes within this many expansions of the previous one: a count, not a
// time, so that runs repeat.
int64_t search_stall_expansions(size_t nodes);

// 1 when routes were found (with improve: routes serving every target), 0 otherwise.
int run_solve(Solver& solver);

}  // namespace dulmar
