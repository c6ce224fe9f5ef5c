// What the improvement stage reads about an instance: the prepared instance's
// costs, visits, demands, limits and admission rules, seen through the stage's
// eyes (targets are the nodes that are no agent's depot), plus what only the
// stage needs: the targets every solution must visit and each target's
// nearest neighbours. The route evaluator stays the judge of every route the
// stage keeps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/problem.h"
#include "core/stop_check.h"
#include "rules/limits.h"
#include "rules/plan_evaluator.h"
#include "rules/prepared_instance.h"
#include "rules/route_evaluator.h"
#include "rules/segment.h"

namespace dulmar {

class StageModel {
public:
    // How many nearest targets each target keeps as move partners.
    static constexpr size_t kDefaultNeighbours = 40;
    // Up to this many nodes (the search's own limit) insertion tries every
    // place and a changed route is searched again whole; above it both stay
    // near each target's neighbours.
    static constexpr size_t kFullScanNodes = kMaxSearchNodes;

    // `evaluator` must outlive the model. `stop_check`, when given, is polled
    // target by target while the neighbour lists are built (quadratic in the
    // targets, except on very large instances) and by poll_within_steps(); a
    // stop throws SolveStopped. It must outlive the model too.
    StageModel(const RouteEvaluator& evaluator, ObjectiveType objective,
               size_t neighbours = kDefaultNeighbours, StopCheck* stop_check = nullptr);

    const RouteEvaluator& evaluator() const { return evaluator_; }
    const PreparedInstance& instance() const { return instance_; }
    bool min_max() const { return min_max_; }
    size_t node_count() const { return node_count_; }
    bool large() const { return node_count_ > kFullScanNodes; }
    // Asked target by target inside the steps that can run long on a large
    // instance (a construction, a local search over every target): throws
    // SolveStopped when the stop check says stop. A no-op on small instances,
    // whose steps are short.
    void poll_within_steps() const {
        if (large()) poll_or_stop(stop_check_);
    }
    // Above kOnDemandNodes with every type's costs from a metric kept on
    // demand: neighbour lists come from a point index, and the stage builds
    // its first solution from tours and keeps its iterations local.
    bool very_large() const { return very_large_; }
    size_t agent_count() const { return instance_.agent_count(); }

    size_t type_of(size_t agent) const { return instance_.type_of(agent); }
    int64_t start_of(size_t agent) const { return static_cast<int64_t>(instance_.start_of(agent)); }
    int64_t end_of(size_t agent) const { return static_cast<int64_t>(instance_.end_of(agent)); }
    // 0: no limit.
    double limit_of(size_t agent) const {
        const double limit = instance_.time_limit(agent);
        return limit > 0 ? limit : 0.0;
    }
    // The capacity the agent's route must keep to; 0: none (or not enforced).
    double capacity_of(size_t agent) const { return instance_.capacity(agent); }
    double demand(int64_t node) const { return instance_.demand(static_cast<size_t>(node)); }
    // The agent may serve the target (never true of a depot).
    bool serves(size_t agent, int64_t node) const {
        // A target is no agent's depot, so the type decides.
        return is_target(node) && (flags_[agent * node_count_ + static_cast<size_t>(node)] & PreparedInstance::kServes);
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
        const double* layer = layers_[t];
        if (layer != nullptr) return layer[static_cast<size_t>(u) * node_count_ + static_cast<size_t>(v)];
        return costs_->cost(t, static_cast<size_t>(u), static_cast<size_t>(v));
    }
    // Every type keeps a layer, so that dense_cost() may stand for cost().
    bool all_dense() const { return all_dense_; }
    // cost() when all_dense(): the innermost read of every move's pricing.
    double dense_cost(size_t t, int64_t u, int64_t v) const {
        return layers_[t][static_cast<size_t>(u) * node_count_ + static_cast<size_t>(v)];
    }
    const Segment& visit(int64_t node) const { return visits_[static_cast<size_t>(node)]; }
    // The visit of a plan that may be late there.
    const WarpSegment& late_visit(int64_t node) const { return late_visits_[static_cast<size_t>(node)]; }
    // The service times of all targets: part of every complete solution's sum.
    double total_service() const { return total_service_; }

    // Precedence pairs hold, so a route's times depend on other routes and
    // plans are timed whole by plans().
    bool ordered() const { return ordered_; }
    const PlanEvaluator& plans() const { return scratch().plans; }
    // Scratch for timing a plan whole: one route pointer per agent, and the
    // candidate routes built in place of two of them.
    std::vector<const Route*>& plan_view() const { return scratch().view; }
    Route& candidate(size_t k) const { return scratch().candidates[k]; }
    std::vector<double>& plan_costs() const { return scratch().costs; }

    // The plan scratch above is per worker when the stage runs on several
    // threads: a thread in a WorkerScope uses that worker's set, any other
    // thread worker 0's. make_scratch(count) gives workers 0 to count-1 a set
    // each and must be called before they start.
    class WorkerScope {
    public:
        explicit WorkerScope(size_t worker);
        ~WorkerScope();
        WorkerScope(const WorkerScope&) = delete;
        WorkerScope& operator=(const WorkerScope&) = delete;

    private:
        size_t previous_;
    };
    void make_scratch(size_t count) const;
    // Puts every pair's before node ahead of its after node, keeping the
    // order otherwise (by the length of the chain of pairs leading to each
    // node), so that an after node is placed knowing when its before node ends.
    void order_by_pairs(std::vector<int64_t>& nodes) const;

    // Nodes that are no agent's start or end node: each must be served once.
    const std::vector<int64_t>& targets() const { return targets_; }
    bool is_target(int64_t node) const { return is_target_[static_cast<size_t>(node)] != 0; }
    // Other targets by increasing hop cost over the agent types that serve both.
    const std::vector<int64_t>& neighbours(int64_t node) const { return neighbours_[static_cast<size_t>(node)]; }

private:
    double proximity(size_t t, int64_t from, int64_t to) const;
    // How near u is to v as a move partner over the types that serve both; inf when none does.
    double nearness(int64_t v, int64_t u) const;
    // The neighbour lists in the plane: the nearest targets that share a
    // serving type, ranked by nearness among a few times more candidates
    // when windows or several types can reorder them.
    void find_neighbours_in_plane(size_t keep, StopCheck* stop_check);

    const RouteEvaluator& evaluator_;
    const PreparedInstance& instance_;
    bool min_max_ = false;
    bool very_large_ = false;
    size_t node_count_ = 0;
    // Views of the instance's tables for the loops that price moves.
    const CostTable* costs_ = nullptr;
    std::vector<const double*> layers_;  // by type: costs_->layer(t)
    bool ordered_ = false;
    bool all_dense_ = false;
    const Segment* visits_ = nullptr;
    std::vector<WarpSegment> late_visits_;
    const unsigned char* flags_ = nullptr;
    std::vector<size_t> types_;
    std::vector<char> type_serves_;  // [type * node_count + node], targets only
    double total_service_ = 0.0;
    std::vector<int64_t> targets_;
    std::vector<char> is_target_;
    std::vector<std::vector<int64_t>> neighbours_;
    struct PlanScratch {
        explicit PlanScratch(const RouteEvaluator& evaluator) : plans(evaluator) {}
        PlanEvaluator plans;  // keeps working data of its own
        std::vector<const Route*> view;
        Route candidates[2];
        std::vector<double> costs;
    };
    PlanScratch& scratch() const;
    mutable std::vector<std::unique_ptr<PlanScratch>> scratch_;
    std::vector<size_t> pair_depth_;  // by node: the most pairs on a chain that ends there
    StopCheck* stop_check_ = nullptr;
};

}  // namespace dulmar
