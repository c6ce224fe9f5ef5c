// The solve that keeps improving: the focal search finds a first solution,
// then the improvement stage works on the best one for the rest of the
// processor-time budget. On an instance too large for the search the stage
// builds the first solution itself. The Solver calls this when its options
// ask for it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dulmar {

class Solver;

// Share of the budget the search may spend without reaching a solution
// before the stage builds its own.
constexpr double kSearchShareWithoutGoal = 0.1;

// Once it has a solution, the search goes on only while each new solution
// comes within this many expansions of the previous one: a count, not a
// time, so that runs repeat.
int64_t search_stall_expansions(size_t nodes);

// 1 when routes serving every target were found, 0 otherwise.
int solve_with_improvement(Solver& solver);

}  // namespace dulmar
