#include "search/anytime_filter.h"

#include <algorithm>

namespace dulmar {

CostTotals cost_totals(const Result& solution) {
    CostTotals totals;
    for (const auto& entry : solution.times) {
        totals.sum_cost += entry.second;
        totals.max_cost = std::max(totals.max_cost, entry.second);
    }
    return totals;
}

double objective_value(const CostTotals& totals, bool min_sum) { return min_sum ? totals.sum_cost : totals.max_cost; }

bool AnytimeFilter::admit(const CostTotals& totals) {
    const double value = objective_value(totals, min_sum_);
    if (!(value < best_ - 1e-9)) return false;
    best_ = value;
    return true;
}

}  // namespace dulmar
