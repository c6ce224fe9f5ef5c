// The rule that decides which solutions the anytime list shows: a solution
// joins when its objective value (the sum of route costs under min-sum, the
// largest route cost under min-max) lies more than 1e-9 below the best value
// so far, which starts at 1e18. The JSON entry builds its "anytime" list with
// it, and the Solver tells its control of exactly the snapshots it admits.
#pragma once

#include "core/result.h"

namespace dulmar {

struct CostTotals {
    double max_cost = 0.0;
    double sum_cost = 0.0;
};

// Largest and summed route cost of `solution` (0.0 and 0.0 without routes).
CostTotals cost_totals(const Result& solution);
// The objective value: sum_cost under min-sum, max_cost under min-max.
double objective_value(const CostTotals& totals, bool min_sum);

class AnytimeFilter {
public:
    explicit AnytimeFilter(bool min_sum = false) : min_sum_(min_sum) {}
    // True when `totals` strictly improve on every solution admitted so far;
    // they then become the best.
    bool admit(const CostTotals& totals);

private:
    bool min_sum_ = false;
    double best_ = 1e18;
};

}  // namespace dulmar
