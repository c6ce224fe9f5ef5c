// The objective: what a solution is worth and when one beats another. The
// search, its anytime list, the post-optimisers' guard, the improvement stage
// and the result dictionary all value solutions here.
#pragma once

#include "core/result.h"
#include "rules/limits.h"

namespace dulmar {

// Largest and summed route cost of a solution (0.0 and 0.0 without routes).
struct CostTotals {
    double max_cost = 0.0;
    double sum_cost = 0.0;

    void add(double route_cost) {
        sum_cost += route_cost;
        if (route_cost > max_cost) max_cost = route_cost;
    }
};

CostTotals cost_totals(const Result& solution);

// The objective value: sum_cost under min-sum, max_cost under min-max.
inline double objective_value(const CostTotals& totals, bool min_sum) {
    return min_sum ? totals.sum_cost : totals.max_cost;
}

// `value` lies more than the tolerance below `reference`, or above it.
inline bool improves(double value, double reference) { return value < reference - kTolerance; }
inline bool exceeds(double value, double reference) { return value > reference + kTolerance; }

// a strictly better than b: under min-max by the longest route and then the
// sum, under min-sum by the sum.
inline bool better(const CostTotals& a, const CostTotals& b, bool min_max) {
    if (!min_max) return improves(a.sum_cost, b.sum_cost);
    if (improves(a.max_cost, b.max_cost)) return true;
    return a.max_cost <= b.max_cost + kTolerance && improves(a.sum_cost, b.sum_cost);
}

}  // namespace dulmar
