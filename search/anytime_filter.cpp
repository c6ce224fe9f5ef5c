#include "search/anytime_filter.h"

namespace dulmar {

bool AnytimeFilter::admit(const CostTotals& totals) {
    const double value = objective_value(totals, min_sum_);
    if (!improves(value, best_)) return false;
    best_ = value;
    return true;
}

}  // namespace dulmar
