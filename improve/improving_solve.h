// The solve that keeps improving: the focal search finds a first solution,
// then the improvement stage works on the best one for the rest of the
// processor-time budget. On an instance too large for the search the stage
// builds the first solution itself. The Solver calls this when its options
// ask for it.
#pragma once

namespace dulmar {

class Solver;

// Share of the budget the search may spend without reaching a solution
// before the stage builds its own.
constexpr double kSearchShareWithoutGoal = 0.1;

// 1 when routes serving every target were found, 0 otherwise.
int solve_with_improvement(Solver& solver);

}  // namespace dulmar
