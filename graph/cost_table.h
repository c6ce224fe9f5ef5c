// Dense arc costs, one N x N layer per agent type: a copy of a PlannerGraph's
// arcs built once before a search, so hot loops read a cost with one index
// computation instead of a per-lookup vector copy, or the per-type tables of
// an instance too large for a graph.
#pragma once

#include <cstddef>
#include <vector>

#include "graph/planner_graph.h"

namespace dulmar {

// Cost of an arc that no cost matrix gives; the lower bounds treat it as no
// connection.
constexpr double kMissingArcCost = 9999.0;

class CostTable {
public:
    // Reads every arc of `graph` (the first entry wins for repeated arcs).
    // A null graph gives an empty table.
    void build(const PlannerGraph* graph);
    // Takes `dim` layers of n x n costs, [(t * n + u) * n + v], as the table of
    // a complete graph without loops: every arc u != v exists with all `dim`
    // entries; the diagonal is cleared.
    void build(size_t n, size_t dim, std::vector<double> layers);

    size_t size() const { return n_; }
    size_t dim() const { return dim_; }
    bool has_arc(size_t u, size_t v) const { return u < n_ && v < n_ && present_[u * n_ + v] != 0; }

    // The arc (u, v) exists and its cost vector has an entry t.
    bool has_entry(size_t u, size_t v, size_t t) const {
        return t < dim_ && has_arc(u, v) && defined_[(t * n_ + u) * n_ + v] != 0;
    }

    // Cost of arc (u, v) for type t, or `fallback` when the arc is missing or
    // its cost vector has no entry t.
    double cost_or(size_t u, size_t v, size_t t, double fallback) const {
        return has_entry(u, v, t) ? costs_[(t * n_ + u) * n_ + v] : fallback;
    }

    // Row-major n x n costs of type t (t < dim()); 0 where no arc gives one.
    const double* layer(size_t t) const { return costs_.data() + t * n_ * n_; }

private:
    size_t n_ = 0;
    size_t dim_ = 0;
    std::vector<double> costs_;   // [(t * n + u) * n + v]
    std::vector<char> defined_;   // entry t exists in the arc's cost vector
    std::vector<char> present_;   // [u * n + v]: the arc exists
};

}  // namespace dulmar
