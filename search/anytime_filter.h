// The rule that decides which solutions the anytime list shows: a solution
// joins when its objective value (rules/objective.h) improves on the best so
// far, which starts at +inf: the first finite one always joins. The JSON
// entry builds its "anytime" list with it, and the Solver tells its control
// of exactly the snapshots it admits.
#pragma once

#include <limits>

#include "rules/objective.h"

namespace dulmar {

class AnytimeFilter {
public:
    explicit AnytimeFilter(bool min_sum = false) : min_sum_(min_sum) {}
    // True when `totals` strictly improve on every solution admitted so far;
    // they then become the best.
    bool admit(const CostTotals& totals);

private:
    bool min_sum_ = false;
    double best_ = std::numeric_limits<double>::infinity();
};

}  // namespace dulmar
