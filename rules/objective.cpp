#include "rules/objective.h"

namespace dulmar {

CostTotals cost_totals(const Result& solution) {
    CostTotals totals;
    for (const auto& entry : solution.times) totals.add(entry.second);
    return totals;
}

}  // namespace dulmar
