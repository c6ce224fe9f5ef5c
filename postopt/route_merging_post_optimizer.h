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
#include "plugins/plugin_base.h"
#include "postopt/route_evaluator.h"

namespace dulmar {

struct InsertionChoice {
    bool found = false;
    size_t agent = static_cast<size_t>(-1);
    size_t pos = 0;
    double cost = std::numeric_limits<double>::max();  // receiving route's cost after the insertion
};

class RouteMergingPostOptimizer : public PostOptimizerPlugin {
public:
    std::string name() const override { return "RouteMergingPostOptimizer"; }
    void optimize(const PlannerGraph* graph, const std::vector<NodeRecord>& nodes,
                  const std::vector<AgentRecord>& agents, Result& result) override;
    void set_return_to_end(bool return_to_end) override { evaluator_.set_return_to_end(return_to_end); }
    void set_start_nodes(const std::vector<size_t>& start_nodes) override { evaluator_.set_start_nodes(start_nodes); }
    void set_end_nodes(const std::vector<size_t>& end_nodes) override { evaluator_.set_end_nodes(end_nodes); }
    void set_time_windows(const TimeWindowMap& time_windows) override { evaluator_.set_time_windows(time_windows); }

    // Loads the working routes and their costs from `result` (invalid: cost 0).
    void load(const PlannerGraph* graph, const std::vector<NodeRecord>& nodes,
              const std::vector<AgentRecord>& agents, const Result& result);
    RouteEvaluation evaluate_route(const Route& route, size_t agent) const;
    bool can_serve(size_t agent, int64_t node) const { return evaluator_.can_serve(agent, node); }
    // Cheapest place for `node` in a route other than `excluded`'s whose cost
    // stays within `limit` (+1e-9).
    InsertionChoice find_best_insertion(int64_t node, size_t excluded, double limit) const;

    const RouteEvaluator& evaluator() const { return evaluator_; }
    const std::vector<Route>& routes() const { return routes_; }
    const std::vector<double>& costs() const { return costs_; }

private:
    void merge(double limit);

    RouteEvaluator evaluator_;
    std::vector<Route> routes_;
    std::vector<double> costs_;
};

}  // namespace dulmar
