#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <limits>

#include "search/solver.h"

namespace dulmar {

namespace {

constexpr double kLargest = std::numeric_limits<double>::max();

}  // namespace

double Solver::pair_cost(size_t a, size_t b) const {
    auto window_a = time_windows.find(a);
    auto window_b = time_windows.find(b);
    const double start_a = window_a == time_windows.end() ? 0.0 : window_a->second.start;
    const bool end_a_finite = window_a != time_windows.end();
    const double end_a = end_a_finite ? window_a->second.end : 0.0;
    double best = kLargest;
    for (size_t k = 0; k < type_count; ++k) {
        // A missing arc or cost entry counts as no connection for this type.
        const double d = move_costs.cost_or(a, b, k, kMissingArcCost);
        if (d >= kMissingArcCost) continue;
        double candidate = d;
        if (window_b != time_windows.end()) {
            const TimeWindow& wb = window_b->second;
            if (wb.end < start_a + d) continue;
            double wait = 0.0;
            if (end_a_finite) wait = std::max(0.0, wb.start - (end_a + d));
            candidate = d + wait;
        }
        best = std::min(best, candidate);
    }
    return best;
}

bool Solver::build_mst_edges() {
    mst_edges.clear();
    const size_t n = graph ? graph->NumVertex() : 0;
    const bool list_blocked = std::getenv("MTSP_DEBUG_TW_EDGES") != nullptr;
    size_t blocked = 0;
    for (size_t i = 1; i < n; ++i) {
        for (size_t j = 0; j < i; ++j) {
            const double c = std::min(pair_cost(j, i), pair_cost(i, j));
            if (c == kLargest) {
                ++blocked;
                if (list_blocked) std::cout << "edge: " << i << "->" << j << " cost: " << kLargest << std::endl;
            } else {
                mst_edges.push_back(MstEdge{i, j, c});
            }
        }
    }
    if (blocked > 0) {
        std::cout << "[TW-MST] blocked edges: " << blocked << " / " << n * (n - 1) / 2
                  << " (set MTSP_DEBUG_TW_EDGES=1 for details)" << std::endl;
    }
    std::sort(mst_edges.begin(), mst_edges.end(),
              [](const MstEdge& x, const MstEdge& y) { return x.cost < y.cost; });
    return true;
}

bool Solver::find_isolated_depots() {
    isolated_depots.clear();
    const size_t n = nodes.size();
    if (n == 0) return true;
    for (size_t u = 0; u < n; ++u) {
        if (start_node_set.count(u) == 0 && end_node_set.count(u) == 0) continue;
        double cheapest = kLargest;
        for (size_t v = 0; v < n; ++v) {
            if (v != u) cheapest = std::min(cheapest, move_costs.cost_or(u, v, 0, kLargest));
        }
        if (cheapest == kMissingArcCost) {
            std::cerr << "point: " << u << " can't be reached" << std::endl;
            isolated_depots.push_back(u);
        }
    }
    return true;
}

}  // namespace dulmar
