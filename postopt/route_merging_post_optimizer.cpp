#include "postopt/route_merging_post_optimizer.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace dulmar {

RouteEvaluation RouteMergingPostOptimizer::evaluate_route(const Route& route, size_t agent) const {
    return evaluator_.evaluate(route, agent);
}

void RouteMergingPostOptimizer::load(const PlannerGraph* graph, const std::vector<NodeRecord>& nodes,
                                     const std::vector<AgentRecord>& agents, const Result& result) {
    evaluator_.prepare(graph, nodes, agents);
    routes_.assign(agents.size(), Route{});
    costs_.assign(agents.size(), 0.0);
    for (size_t i = 0; i < agents.size(); ++i) {
        const auto it = result.paths.find(static_cast<int64_t>(i));
        if (it != result.paths.end()) routes_[i] = it->second;
        const RouteEvaluation e = evaluator_.evaluate(routes_[i], i);
        if (e.valid) costs_[i] = e.cost;
    }
}

InsertionChoice RouteMergingPostOptimizer::find_best_insertion(int64_t node, size_t excluded, double limit) const {
    InsertionChoice choice;
    const double ceiling = limit + kTolerance;
    RouteScan scan;
    for (size_t i = 0; i < routes_.size(); ++i) {
        if (i == excluded || !can_serve(i, node) || routes_[i].size() < 2) continue;
        evaluator_.scan(routes_[i], i, scan);
        for (size_t p = 1; p < routes_[i].size(); ++p) {
            const RouteEvaluation e = evaluator_.evaluate_inserted(scan, p, node, ceiling);
            if (!e.valid || !(e.cost <= ceiling)) continue;
            // Near-equal costs go to the smaller increase; exact ties keep the earlier candidate.
            const bool better =
                e.cost < choice.cost ||
                (choice.found && std::fabs(e.cost - choice.cost) < kTolerance &&
                 e.cost - costs_[i] < choice.cost - costs_[choice.agent]);
            if (better) choice = InsertionChoice{true, i, p, e.cost};
        }
    }
    return choice;
}

void RouteMergingPostOptimizer::merge(double limit) {
    // Costs as loaded, not as they change during the walk.
    std::vector<std::pair<double, size_t>> order;
    order.reserve(costs_.size());
    for (size_t i = 0; i < costs_.size(); ++i) order.emplace_back(costs_[i], i);
    std::sort(order.begin(), order.end(), [](const auto& x, const auto& y) {
        const double cx = std::isnan(x.first) ? HUGE_VAL : x.first;
        const double cy = std::isnan(y.first) ? HUGE_VAL : y.first;
        return cx < cy || (!(cy < cx) && x.second < y.second);
    });

    for (const auto& [c, i] : order) {
        if (!(c > 0 && c < limit - kTolerance) || routes_[i].size() < 3) continue;
        const Route interior(routes_[i].begin() + 1, routes_[i].end() - 1);
        bool all_fit = true;
        for (int64_t v : interior) {
            if (!find_best_insertion(v, i, limit).found) {
                all_fit = false;
                break;
            }
        }
        if (!all_fit) continue;
        for (int64_t v : interior) {
            const InsertionChoice choice = find_best_insertion(v, i, limit);
            if (!choice.found) continue;
            Route& target = routes_[choice.agent];
            target.insert(target.begin() + static_cast<std::ptrdiff_t>(choice.pos), v);
            // The chosen insertion was evaluated exactly as the grown route would be.
            costs_[choice.agent] = choice.cost;
            Route& source = routes_[i];
            const auto at = std::find(source.begin(), source.end(), v);
            if (at != source.end()) source.erase(at);
        }
        // What is left of the route (its depots and any node that stayed) keeps its true cost.
        const RouteEvaluation rest = evaluator_.evaluate(routes_[i], i);
        costs_[i] = rest.valid ? rest.cost : 0.0;
    }
}

void RouteMergingPostOptimizer::optimize(const PlannerGraph* graph, const std::vector<NodeRecord>& nodes,
                                         const std::vector<AgentRecord>& agents, Result& result) {
    load(graph, nodes, agents, result);
    double largest = 0.0;
    for (double c : costs_) largest = std::max(largest, c);
    if (!(largest > 0)) return;

    merge(largest);
    for (size_t i = 0; i < routes_.size(); ++i)
        if (costs_[i] > 0) evaluator_.two_opt(routes_[i], i, costs_[i]);

    for (size_t i = 0; i < routes_.size(); ++i) {
        result.paths[static_cast<int64_t>(i)] = routes_[i];
        result.times[static_cast<int64_t>(i)] = costs_[i];
    }
}

}  // namespace dulmar
