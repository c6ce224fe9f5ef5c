#include "graph/cost_table.h"

#include <algorithm>

namespace dulmar {

void CostTable::build(const PlannerGraph* graph) {
    n_ = graph ? graph->NumVertex() : 0;
    dim_ = 0;
    std::vector<std::vector<size_t>> heads(n_);
    std::vector<std::vector<CostVector>> head_costs(n_);
    for (size_t u = 0; u < n_; ++u) {
        heads[u] = graph->GetSuccs(u);
        head_costs[u] = graph->GetSuccCosts(u);
        for (const auto& cost : head_costs[u]) dim_ = std::max(dim_, cost.size());
    }
    costs_.assign(dim_ * n_ * n_, 0.0);
    defined_.assign(dim_ * n_ * n_, 0);
    present_.assign(n_ * n_, 0);
    for (size_t u = 0; u < n_; ++u) {
        for (size_t i = 0; i < heads[u].size() && i < head_costs[u].size(); ++i) {
            const size_t v = heads[u][i];
            if (v >= n_ || present_[u * n_ + v]) continue;
            present_[u * n_ + v] = 1;
            const CostVector& cost = head_costs[u][i];
            for (size_t t = 0; t < cost.size(); ++t) {
                costs_[(t * n_ + u) * n_ + v] = cost[t];
                defined_[(t * n_ + u) * n_ + v] = 1;
            }
        }
    }
}

}  // namespace dulmar
