// Lower bound of the cost still to come: the weight of a spanning tree that
// joins every unvisited node no agent stands on to the agents' open positions,
// over the window-aware pair costs the Solver computes. Visited nodes that no
// unfinished agent stands on are closed: the tree never passes through them.
#pragma once

#include <cstddef>
#include <limits>
#include <string>
#include <vector>

#include "plugins/plugin_base.h"
#include "rules/cost_table.h"

namespace dulmar {

class DefaultHeuristic : public HeuristicPlugin {
public:
    // Returned when some node cannot be joined; finite so sums with it stay finite.
    static constexpr double kSaturation = std::numeric_limits<double>::max() / 16;

    std::string name() const override { return "DefaultHeuristic"; }
    void initialize(const PlannerGraph* graph, const std::vector<NodeRecord>& nodes,
                    const std::vector<AgentRecord>& agents) override;
    double evaluate(const SearchState& state) const override;

    // Replaces the edge list (sorted by ascending cost) with a copy.
    void set_edges(const std::vector<MstEdge>& edges);
    void set_end_nodes(const std::vector<size_t>& end_nodes) { end_nodes_ = end_nodes; }

    const std::vector<MstEdge>& edges() const { return edges_; }

private:
    void build_table();
    double pair_weight(size_t a, size_t b) const {
        return a < table_size_ && b < table_size_ ? table_[a * table_size_ + b] : kAbsent;
    }

    static constexpr double kAbsent = std::numeric_limits<double>::infinity();

    size_t agent_count_ = 0;
    std::vector<MstEdge> edges_;
    const PlannerGraph* graph_ = nullptr;  // kept, not read
    std::vector<NodeRecord> nodes_;        // kept, not read
    std::vector<AgentRecord> agents_;      // kept, not read
    std::vector<size_t> end_nodes_;        // kept, not read

    // Symmetric dense copy of the usable edges, kAbsent where there is none.
    size_t table_size_ = 0;
    std::vector<double> table_;
};

}  // namespace dulmar
