#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <string>
#include <limits>

#include "core/diagnostics.h"
#include "search/solver.h"

namespace dulmar {

namespace {

constexpr double kLargest = std::numeric_limits<double>::max();

}  // namespace

// A bound, not the visit rule: it leaves service out, so it stays below the
// time any route needs between the two nodes.
double Solver::pair_cost(size_t a, size_t b) const {
    const PreparedInstance& p = *instance;
    const TimeWindow* window_a = p.window(a);
    const TimeWindow* window_b = p.window(b);
    const double start_a = window_a == nullptr ? 0.0 : window_a->start;
    const bool end_a_finite = window_a != nullptr;
    const double end_a = end_a_finite ? window_a->end : 0.0;
    double best = kLargest;
    for (size_t k = 0; k < type_count; ++k) {
        // An entry no matrix gave is no connection for this type; a given
        // cost of any size is a real arc.
        if (!arc_given(a, b, k)) continue;
        const double d = p.costs().cost_or(a, b, k, 0.0);
        double candidate = d;
        if (window_b != nullptr) {
            const TimeWindow& wb = *window_b;
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
                if (list_blocked) {
                    std::ostringstream line;
                    line << "edge: " << i << "->" << j << " cost: " << kLargest;
                    diagnostic(DiagnosticStream::Out, line.str());
                }
            } else {
                mst_edges.push_back(MstEdge{i, j, c});
            }
        }
    }
    if (blocked > 0) {
        diagnostic(DiagnosticStream::Out, "[TW-MST] blocked edges: " + std::to_string(blocked) + " / " +
                                              std::to_string(n * (n - 1) / 2) +
                                              " (set MTSP_DEBUG_TW_EDGES=1 for details)");
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
        // Only type 0's arcs are consulted; a depot without another node is not isolated.
        bool has_arcs = false;
        bool leaves = false;
        for (size_t v = 0; v < n && !leaves; ++v) {
            if (v == u) continue;
            has_arcs = has_arcs || instance->costs().has_entry(u, v, 0);
            leaves = arc_given(u, v, 0);
        }
        if (has_arcs && !leaves) {
            diagnostic(DiagnosticStream::Err, "point: " + std::to_string(u) + " can't be reached");
            isolated_depots.push_back(u);
        }
    }
    return true;
}

}  // namespace dulmar
