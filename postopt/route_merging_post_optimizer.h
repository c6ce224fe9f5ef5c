// Second post-optimisation stage: dissolves cheap routes whose every interior
// node fits into another agent's route without raising that route above the
// largest route cost the solution came in with, then 2-opts every route with
// a positive cost. Routes and costs are written back into the result in place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "core/result.h"
#include "postopt/route_evaluating_post_optimizer.h"

namespace dulmar {

struct InsertionChoice {
    bool found = false;
    size_t agent = static_cast<size_t>(-1);
    size_t pos = 0;
    double cost = std::numeric_limits<double>::max();  // receiving route's cost after the insertion
};

class RouteMergingPostOptimizer : public RouteEvaluatingPostOptimizer {
public:
    std::string name() const override { return "RouteMergingPostOptimizer"; }
    void optimize(const PlannerGraph* graph, const std::vector<NodeRecord>& nodes,
                  const std::vector<AgentRecord>& agents, Result& result) override;

    // Loads the working routes and their costs from `result` (invalid: cost 0).
    void load(const PlannerGraph* graph, const std::vector<NodeRecord>& nodes,
              const std::vector<AgentRecord>& agents, const Result& result);
    RouteEvaluation evaluate_route(const Route& route, size_t agent) const;
    bool can_serve(size_t agent, int64_t node) const { return evaluator_.can_serve(agent, node); }
    // Cheapest place for `node` in a route other than `excluded`'s whose cost
    // stays within `limit` (+1e-9).
    InsertionChoice find_best_insertion(int64_t node, size_t excluded, double limit) const;

    const std::vector<Route>& routes() const { return routes_; }
    const std::vector<double>& costs() const { return costs_; }

private:
    void merge(double limit);

    std::vector<Route> routes_;
    std::vector<double> costs_;
};

}  // namespace dulmar
