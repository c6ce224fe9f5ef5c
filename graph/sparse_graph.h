// Adjacency-list PlannerGraph: every vertex keeps its successors and its
// predecessors, each with a private copy of the arc's cost vector. Errors are
// written as "[ERROR] SparseGraph::" lines to standard output and then thrown.
#pragma once

#include <cstddef>
#include <vector>

#include "graph/planner_graph.h"

namespace dulmar {

class SparseGraph : public PlannerGraph {
public:
    SparseGraph() = default;
    ~SparseGraph() override = default;

    bool HasVertex(size_t v) const override;
    bool HasArc(size_t u, size_t v) const override;
    std::vector<size_t> GetSuccs(size_t v) const override;
    std::vector<size_t> GetPreds(size_t v) const override;
    CostVector GetCost(size_t u, size_t v) const override;
    std::vector<CostVector> GetSuccCosts(size_t v) const override;
    std::vector<CostVector> GetPredCosts(size_t v) const override;
    size_t NumVertex() const override;
    size_t NumArc() const override;
    size_t NumEdge() const override;
    size_t CostDim() const override;
    std::vector<size_t> AllVertex() const override;
    void AddVertex(size_t v) override;
    void AddEdge(size_t u, size_t v, const CostVector& cost) override;
    void AddArc(size_t u, size_t v, const CostVector& cost) override;
    void CreateFromEdges(const std::vector<size_t>& sources, const std::vector<size_t>& targets,
                         const std::vector<CostVector>& costs) override;
    void CreateFromArcs(const std::vector<size_t>& sources, const std::vector<size_t>& targets,
                        const std::vector<CostVector>& costs) override;
    void ChangeCostDim(size_t dim, double fill) override;
    bool SetArcCost(size_t u, size_t v, const CostVector& cost) override;
    std::string ToStr() const override;

    // Cost vector of arc (u, v) without a copy; nullptr when there is no such arc.
    const CostVector* FindCost(size_t u, size_t v) const;

private:
    void Rebuild(const std::vector<size_t>& sources, const std::vector<size_t>& targets,
                 const std::vector<CostVector>& costs, bool both_directions);

    std::vector<std::vector<size_t>> succs;
    std::vector<std::vector<CostVector>> succ_costs;
    std::vector<std::vector<size_t>> preds;
    std::vector<std::vector<CostVector>> pred_costs;
    size_t arc_count = 0;
    size_t cdim = 0;
};

}  // namespace dulmar
