// First post-optimisation stage: 2-opt inside every route, one relocation
// inside each group of same-type agents, then single-node moves from the
// group with the longest route to the group whose longest route is shortest.
// The result is replaced whole by the new routes and their costs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/result.h"
#include "postopt/route_evaluating_post_optimizer.h"

namespace dulmar {

struct TypeGroup {
    uint64_t count = 0;
    size_t type = 0;
    size_t longest = 0;   // agent index
    size_t shortest = 0;  // agent index
    std::vector<size_t> members;  // agent indices, ascending
};

struct AgentRoute {
    size_t agent = 0;
    double cost = 0.0;  // 0 for an invalid route
    Route route;
};

struct RelocationMove {
    size_t from_pos = 0;
    size_t to_pos = 0;
    size_t from_group = 0;
    size_t to_group = 0;
    double gain = 0.0;  // 0: no move
};

class DefaultPostOptimizer : public RouteEvaluatingPostOptimizer {
public:
    std::string name() const override { return "DefaultPostOptimizer"; }
    void optimize(const PlannerGraph* graph, const std::vector<NodeRecord>& nodes,
                  const std::vector<AgentRecord>& agents, Result& result) override;

    // The stages of optimize, callable one by one. load resets the working
    // data and groups the agents with their routes from `result`.
    void load(const PlannerGraph* graph, const std::vector<NodeRecord>& nodes,
              const std::vector<AgentRecord>& agents, const Result& result);
    RouteEvaluation evaluate_route(const Route& route, size_t agent) const;
    double route_cost(const Route& route, size_t agent) const;
    void refresh_extremes(size_t type);
    RelocationMove find_relocation(size_t from_group, size_t to_group) const;
    // True when the move was applied.
    bool apply_relocation(AgentRoute& from, AgentRoute& to, const RelocationMove& move);

    const std::vector<size_t>& group_order() const { return group_order_; }
    const std::unordered_map<size_t, TypeGroup>& groups() const { return groups_; }
    std::vector<AgentRoute>& routes() { return routes_; }

private:
    void improve_group(size_t type);
    void balance_groups();

    std::vector<size_t> group_order_;
    std::unordered_map<size_t, TypeGroup> groups_;
    std::vector<AgentRoute> routes_;
};

}  // namespace dulmar
