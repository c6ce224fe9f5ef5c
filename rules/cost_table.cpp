#include "rules/cost_table.h"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <utility>

namespace dulmar {

void CostTable::build(const PlannerGraph* graph) {
    n_ = graph ? graph->NumVertex() : 0;
    dim_ = 0;
    complete_ = false;
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
    negative_.assign(dim_, 0);
    for (size_t u = 0; u < n_; ++u) {
        for (size_t i = 0; i < heads[u].size() && i < head_costs[u].size(); ++i) {
            const size_t v = heads[u][i];
            if (v >= n_ || present_[u * n_ + v]) continue;
            present_[u * n_ + v] = 1;
            const CostVector& cost = head_costs[u][i];
            for (size_t t = 0; t < cost.size(); ++t) {
                costs_[(t * n_ + u) * n_ + v] = cost[t];
                defined_[(t * n_ + u) * n_ + v] = 1;
                if (!(cost[t] >= 0.0)) negative_[t] = 1;
            }
        }
    }
}

void CostTable::build(size_t n, size_t dim, std::vector<double> layers, StopCheck* check) {
    if (layers.size() != dim * n * n) {
        throw std::invalid_argument("CostTable: " + std::to_string(layers.size()) + " costs for " +
                                    std::to_string(dim) + " layers of " + std::to_string(n) + " x " +
                                    std::to_string(n));
    }
    n_ = n;
    dim_ = dim;
    complete_ = true;
    costs_ = std::move(layers);
    std::vector<char>().swap(defined_);
    std::vector<char>().swap(present_);
    // As in a graph without loops: no arc from a node to itself, layer entry 0.
    for (size_t t = 0; t < dim; ++t)
        for (size_t u = 0; u < n; ++u) costs_[(t * n + u) * n + u] = 0.0;
    negative_.assign(dim, 0);
    for (size_t t = 0; t < dim; ++t) {
        for (size_t u = 0; u < n && !negative_[t]; ++u) {
            poll_or_stop(check);
            const double* row = costs_.data() + (t * n + u) * n;
            negative_[t] = std::all_of(row, row + n, [](double c) { return c >= 0.0; }) ? 0 : 1;
        }
    }
}

}  // namespace dulmar
