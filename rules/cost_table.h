// Dense arc costs, one N x N layer per agent type, read with one index
// computation. Built once per solve, from the cost layers the Solver's set-up
// works out from the Problem, or from a PlannerGraph that a caller built.
#pragma once

#include <cstddef>
#include <vector>

#include "core/stop_check.h"
#include "graph/planner_graph.h"
#include "rules/limits.h"

namespace dulmar {

class CostTable {
public:
    // Reads every arc of `graph` (the first entry wins for repeated arcs).
    // A null graph gives an empty table.
    void build(const PlannerGraph* graph);
    // Takes `dim` layers of n x n costs, [(t * n + u) * n + v], as the table of
    // a complete graph without loops: every arc u != v exists with all `dim`
    // entries; the diagonal is cleared. `check` is polled row by row.
    void build(size_t n, size_t dim, std::vector<double> layers, StopCheck* check = nullptr);

    size_t size() const { return n_; }
    size_t dim() const { return dim_; }
    bool has_arc(size_t u, size_t v) const {
        return u < n_ && v < n_ && (complete_ ? u != v : present_[u * n_ + v] != 0);
    }

    // The arc (u, v) exists and its cost vector has an entry t.
    bool has_entry(size_t u, size_t v, size_t t) const {
        return t < dim_ && has_arc(u, v) && (complete_ || defined_[(t * n_ + u) * n_ + v] != 0);
    }

    // Cost of arc (u, v) for type t, or `fallback` when the arc is missing or
    // its cost vector has no entry t.
    double cost_or(size_t u, size_t v, size_t t, double fallback) const {
        return has_entry(u, v, t) ? costs_[(t * n_ + u) * n_ + v] : fallback;
    }

    // Row-major n x n costs of type t (t < dim()); 0 where no arc gives one.
    const double* layer(size_t t) const { return costs_.data() + t * n_ * n_; }

    // No cost of type t is negative or NaN, so its running costs only grow.
    bool nonnegative(size_t t) const { return t >= dim_ || negative_[t] == 0; }

private:
    size_t n_ = 0;
    size_t dim_ = 0;
    bool complete_ = false;      // every arc u != v with every entry: no masks kept
    std::vector<char> negative_;  // by type: some cost is negative or NaN
    std::vector<double> costs_;   // [(t * n + u) * n + v]
    std::vector<char> defined_;   // entry t exists in the arc's cost vector
    std::vector<char> present_;   // [u * n + v]: the arc exists
};

}  // namespace dulmar
