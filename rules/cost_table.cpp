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
    layers_.assign(dim_, nullptr);
    for (size_t t = 0; t < dim_; ++t) layers_[t] = costs_.data() + t * n_ * n_;
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
    build(n, std::vector<CostSource>(dim), std::move(layers), {}, {}, check);
}

void CostTable::build(size_t n, const std::vector<CostSource>& sources, std::vector<double> layers,
                      std::vector<double> xs, std::vector<double> ys, StopCheck* check) {
    const size_t dim = sources.size();
    const size_t dense = static_cast<size_t>(std::count_if(sources.begin(), sources.end(),
                                                           [](const CostSource& s) { return s.dense; }));
    if (layers.size() != dense * n * n) {
        throw std::invalid_argument("CostTable: " + std::to_string(layers.size()) + " costs for " +
                                    std::to_string(dense) + " layers of " + std::to_string(n) + " x " +
                                    std::to_string(n));
    }
    if (dense < dim && (xs.size() != n || ys.size() != n)) {
        throw std::invalid_argument("CostTable: costs on demand need " + std::to_string(n) + " positions");
    }
    n_ = n;
    dim_ = dim;
    complete_ = true;
    costs_ = std::move(layers);
    std::vector<char>().swap(defined_);
    std::vector<char>().swap(present_);
    layers_.assign(dim, nullptr);
    metrics_.assign(dim, CostMetric{});
    has_metric_.assign(dim, 0);
    negative_.assign(dim, 0);
    xs_ = dense < dim ? std::move(xs) : std::vector<double>();
    ys_ = dense < dim ? std::move(ys) : std::vector<double>();
    size_t next = 0;
    for (size_t t = 0; t < dim; ++t) {
        if (!sources[t].dense) {
            // A metric's factor is never negative and kMissingArcCost is positive.
            metrics_[t] = sources[t].metric;
            has_metric_[t] = sources[t].has_metric ? 1 : 0;
            continue;
        }
        double* layer = costs_.data() + next++ * n * n;
        layers_[t] = layer;
        // As in a graph without loops: no arc from a node to itself, layer entry 0.
        for (size_t u = 0; u < n; ++u) layer[u * n + u] = 0.0;
        for (size_t u = 0; u < n && !negative_[t]; ++u) {
            poll_or_stop(check);
            const double* row = layer + u * n;
            negative_[t] = std::all_of(row, row + n, [](double c) { return c >= 0.0; }) ? 0 : 1;
        }
    }
}

double CostTable::computed(size_t t, size_t u, size_t v) const {
    if (u == v) return 0.0;
    if (!has_metric_[t]) return kMissingArcCost;
    // In the order the dense layers are filled (lower index first), so both forms agree to the bit.
    const size_t a = std::min(u, v);
    const size_t b = std::max(u, v);
    return metrics_[t].cost(xs_[a], ys_[a], xs_[b], ys_[b]);
}

bool CostTable::all_on_demand() const {
    return dim_ > 0 && std::all_of(layers_.begin(), layers_.end(), [](const double* l) { return l == nullptr; });
}

size_t CostTable::dense_count() const {
    return static_cast<size_t>(std::count_if(layers_.begin(), layers_.end(), [](const double* l) { return l; }));
}

size_t CostTable::bytes(size_t n, size_t types, size_t dense) {
    return dense * n * n * sizeof(double) + (dense < types ? 2 * n * sizeof(double) : 0);
}

}  // namespace dulmar
