// Arc costs by agent type, read with one call: a dense N x N layer per type,
// or, for a type whose costs come from a metric on a large instance, no layer
// at all and each cost worked out from the two positions when asked. Built
// once per solve, from the costs the Solver's set-up works out from the
// Problem, or from a PlannerGraph that a caller built; read-only after that.
#pragma once

#include <cstddef>
#include <vector>

#include "core/cost_metric.h"
#include "core/stop_check.h"
#include "graph/planner_graph.h"
#include "rules/limits.h"

namespace dulmar {

// How one type's costs are kept in a complete table: a dense layer, or
// worked out when asked from `metric` (kMissingArcCost without one).
struct CostSource {
    bool dense = true;
    bool has_metric = false;
    CostMetric metric;
};

class CostTable {
public:
    CostTable() = default;
    // Layers are read through pointers into costs_, so a table is never copied.
    CostTable(const CostTable&) = delete;
    CostTable& operator=(const CostTable&) = delete;

    // Reads every arc of `graph` (the first entry wins for repeated arcs).
    // A null graph gives an empty table.
    void build(const PlannerGraph* graph);
    // Takes `dim` layers of n x n costs, [(t * n + u) * n + v], as the table of
    // a complete graph without loops: every arc u != v exists with all `dim`
    // entries; the diagonal is cleared. `check` is polled row by row.
    void build(size_t n, size_t dim, std::vector<double> layers, StopCheck* check = nullptr);
    // The same with some types kept on demand: `layers` holds the n x n layers
    // of the dense sources only, in type order; the others cost what their
    // metric gives over the positions (xs, ys), kMissingArcCost without one.
    void build(size_t n, const std::vector<CostSource>& sources, std::vector<double> layers, std::vector<double> xs,
               std::vector<double> ys, StopCheck* check = nullptr);

    size_t size() const { return n_; }
    size_t dim() const { return dim_; }
    bool has_arc(size_t u, size_t v) const {
        return u < n_ && v < n_ && (complete_ ? u != v : present_[u * n_ + v] != 0);
    }

    // The arc (u, v) exists and its cost vector has an entry t.
    bool has_entry(size_t u, size_t v, size_t t) const {
        return t < dim_ && has_arc(u, v) && (complete_ || defined_[(t * n_ + u) * n_ + v] != 0);
    }

    // Cost of u -> v for type t (u, v < size(), t < dim()); 0 where no arc gives one.
    double cost(size_t t, size_t u, size_t v) const {
        const double* layer = layers_[t];
        return layer != nullptr ? layer[u * n_ + v] : computed(t, u, v);
    }

    // Cost of arc (u, v) for type t, or `fallback` when the arc is missing or
    // its cost vector has no entry t.
    double cost_or(size_t u, size_t v, size_t t, double fallback) const {
        return has_entry(u, v, t) ? cost(t, u, v) : fallback;
    }

    // No cost of type t is negative or NaN, so its running costs only grow.
    bool nonnegative(size_t t) const { return t >= dim_ || negative_[t] == 0; }

    // Type t's n x n layer, [u * n + v]; null when its costs are worked out when asked.
    const double* layer(size_t t) const { return layers_[t]; }
    // Type t keeps no layer: its costs are worked out when asked.
    bool on_demand(size_t t) const { return t < dim_ && layers_[t] == nullptr; }
    // Some type exists and none keeps a layer.
    bool all_on_demand() const;
    // Types that keep a layer.
    size_t dense_count() const;
    // For types on demand: the metric (null when the type has none) and the positions.
    const CostMetric* metric(size_t t) const { return on_demand(t) && has_metric_[t] ? &metrics_[t] : nullptr; }
    double x(size_t v) const { return xs_[v]; }
    double y(size_t v) const { return ys_[v]; }

    // Bytes the table holds for n nodes and `types` types, `dense` of them with a layer.
    static size_t bytes(size_t n, size_t types, size_t dense);

private:
    // Out of the way of the dense reads that inline cost() into hot loops.
    [[gnu::cold]] [[gnu::noinline]] double computed(size_t t, size_t u, size_t v) const;

    size_t n_ = 0;
    size_t dim_ = 0;
    bool complete_ = false;       // every arc u != v with every entry: no masks kept
    std::vector<char> negative_;  // by type: some cost is negative or NaN
    std::vector<double> costs_;   // the dense layers, one after the other
    std::vector<const double*> layers_;  // by type: its layer in costs_, null when on demand
    std::vector<CostMetric> metrics_;    // by type, for types on demand
    std::vector<char> has_metric_;
    std::vector<double> xs_, ys_;        // node positions, kept when a type is on demand
    std::vector<char> defined_;  // entry t exists in the arc's cost vector
    std::vector<char> present_;  // [u * n + v]: the arc exists
};

}  // namespace dulmar
