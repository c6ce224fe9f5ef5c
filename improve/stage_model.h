// What the improvement stage reads about an instance, laid out for move
// evaluation: dense arc costs per agent type, every node's timing summary
// (window and service), demands and enforced capacities, the targets every
// solution must visit and each target's nearest neighbours. Route rules and
// costs come from the post-optimisers' RouteEvaluator, which stays the judge
// of every route the stage keeps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/problem.h"
#include "improve/segment.h"
#include "postopt/route_evaluator.h"

namespace dulmar {

class StageModel {
public:
    // How many nearest targets each target keeps as move partners.
    static constexpr size_t kDefaultNeighbours = 40;
    // Up to this many nodes (the search's own limit) insertion tries every
    // place and a changed route is searched again whole; above it both stay
    // near each target's neighbours.
    static constexpr size_t kFullScanNodes = 256;

    // `evaluator` must be prepared and outlive the model.
    StageModel(const RouteEvaluator& evaluator, ObjectiveType objective,
               size_t neighbours = kDefaultNeighbours);

    const RouteEvaluator& evaluator() const { return evaluator_; }
    bool min_max() const { return min_max_; }
    size_t node_count() const { return node_count_; }
    bool large() const { return node_count_ > kFullScanNodes; }
    size_t agent_count() const { return agents_.size(); }

    size_t type_of(size_t agent) const { return agents_[agent].type; }
    int64_t start_of(size_t agent) const { return agents_[agent].start; }
    int64_t end_of(size_t agent) const { return agents_[agent].end; }
    // 0: no limit.
    double limit_of(size_t agent) const { return agents_[agent].limit; }
    // The capacity the agent's route must keep to; 0: none (or not enforced).
    double capacity_of(size_t agent) const { return agents_[agent].capacity; }
    double demand(int64_t node) const { return demands_[static_cast<size_t>(node)]; }
    bool serves(size_t agent, int64_t node) const {
        return serves_[agent * node_count_ + static_cast<size_t>(node)] != 0;
    }
    // The type numbers some agent has, in first-seen order.
    const std::vector<size_t>& types() const { return types_; }
    // Some agent of type t may serve the target.
    bool type_serves(size_t t, int64_t node) const {
        return type_serves_[t * node_count_ + static_cast<size_t>(node)] != 0;
    }

    // Cost of the hop u -> v between two targets (or from a start to a target)
    // for agents of type t; hops into a depot go through the evaluator's rule.
    double cost(size_t t, int64_t u, int64_t v) const {
        return layers_[t][static_cast<size_t>(u) * node_count_ + static_cast<size_t>(v)];
    }
    const Segment& visit(int64_t node) const { return visits_[static_cast<size_t>(node)]; }
    // The service times of all targets: part of every complete solution's sum.
    double total_service() const { return total_service_; }

    // Nodes that are no agent's start or end node: each must be served once.
    const std::vector<int64_t>& targets() const { return targets_; }
    bool is_target(int64_t node) const { return is_target_[static_cast<size_t>(node)] != 0; }
    // Other targets by increasing hop cost over the agent types that serve both.
    const std::vector<int64_t>& neighbours(int64_t node) const { return neighbours_[static_cast<size_t>(node)]; }

private:
    struct AgentData {
        size_t type = 0;
        int64_t start = 0;
        int64_t end = 0;
        double limit = 0.0;
        double capacity = 0.0;
    };

    const RouteEvaluator& evaluator_;
    bool min_max_ = false;
    size_t node_count_ = 0;
    std::vector<AgentData> agents_;
    std::vector<char> serves_;  // [agent * node_count + node]
    std::vector<size_t> types_;
    std::vector<char> type_serves_;  // [type * node_count + node], targets only
    std::vector<const double*> layers_;
    std::vector<Segment> visits_;
    std::vector<double> demands_;
    double total_service_ = 0.0;
    std::vector<int64_t> targets_;
    std::vector<char> is_target_;
    std::vector<std::vector<int64_t>> neighbours_;
};

}  // namespace dulmar
