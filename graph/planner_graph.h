// Directed graph over node indices whose arcs carry one cost per agent type
// (the cost dimension). The Solver builds one and the plug-ins only read it.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace dulmar {

using CostVector = std::vector<double>;

class PlannerGraph {
public:
    virtual ~PlannerGraph() = default;

    virtual bool HasVertex(size_t v) const = 0;
    virtual bool HasArc(size_t u, size_t v) const = 0;
    virtual std::vector<size_t> GetSuccs(size_t v) const = 0;
    virtual std::vector<size_t> GetPreds(size_t v) const = 0;
    virtual CostVector GetCost(size_t u, size_t v) const = 0;
    virtual std::vector<CostVector> GetSuccCosts(size_t v) const = 0;
    virtual std::vector<CostVector> GetPredCosts(size_t v) const = 0;
    virtual size_t NumVertex() const = 0;
    virtual size_t NumArc() const = 0;
    virtual size_t NumEdge() const = 0;
    virtual size_t CostDim() const = 0;
    virtual std::vector<size_t> AllVertex() const = 0;
    virtual void AddVertex(size_t v) = 0;
    virtual void AddEdge(size_t u, size_t v, const CostVector& cost) = 0;
    virtual void AddArc(size_t u, size_t v, const CostVector& cost) = 0;
    virtual void CreateFromEdges(const std::vector<size_t>& sources, const std::vector<size_t>& targets,
                                 const std::vector<CostVector>& costs) = 0;
    virtual void CreateFromArcs(const std::vector<size_t>& sources, const std::vector<size_t>& targets,
                                const std::vector<CostVector>& costs) = 0;
    virtual void ChangeCostDim(size_t dim, double fill) = 0;
    virtual bool SetArcCost(size_t u, size_t v, const CostVector& cost) = 0;
    virtual std::string ToStr() const = 0;
};

}  // namespace dulmar
