#include "postopt/default_post_optimizer.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <limits>
#include <utility>

#include "core/diagnostics.h"

namespace dulmar {

namespace {

void report_invalid(size_t agent) {
    diagnostic(DiagnosticStream::Err, "[post-opt] invalid path for agent " + std::to_string(agent) + ", skip optimize");
}

}  // namespace

RouteEvaluation DefaultPostOptimizer::evaluate_route(const Route& route, size_t agent) const {
    return evaluator_.evaluate(route, agent);
}

double DefaultPostOptimizer::route_cost(const Route& route, size_t agent) const {
    const RouteEvaluation e = evaluator_.evaluate(route, agent);
    if (e.valid) return e.cost;
    report_invalid(agent);
    return 0.0;
}

void DefaultPostOptimizer::load(const PlannerGraph* graph, const std::vector<NodeRecord>& nodes,
                                const std::vector<AgentRecord>& agents, const Result& result) {
    groups_.clear();
    group_order_.clear();
    evaluator_.prepare(graph, nodes, agents);
    routes_.assign(agents.size(), AgentRoute{});
    for (size_t i = 0; i < agents.size(); ++i) {
        AgentRoute& r = routes_[i];
        r.agent = i;
        const auto it = result.paths.find(static_cast<int64_t>(i));
        if (it != result.paths.end()) r.route = it->second;
        const RouteEvaluation e = evaluator_.evaluate(r.route, i);
        if (!e.valid) report_invalid(i);
        r.cost = e.valid ? e.cost : 0.0;

        const size_t type = agents[i].type;
        auto found = groups_.find(type);
        if (found == groups_.end()) {
            // The first member of a group has its route costed twice, so an
            // invalid one is reported twice; kept on purpose.
            if (!e.valid) report_invalid(i);
            TypeGroup g;
            g.count = 1;
            g.type = type;
            g.longest = g.shortest = i;
            g.members.push_back(i);
            groups_.emplace(type, std::move(g));
            group_order_.push_back(type);
        } else {
            found->second.count += 1;
            found->second.members.push_back(i);
        }
    }
}

void DefaultPostOptimizer::refresh_extremes(size_t type) {
    const auto it = groups_.find(type);
    if (it == groups_.end()) return;
    TypeGroup& g = it->second;
    // Strict comparisons from -1 and the largest double: ties keep the earlier member.
    double high = -1.0;
    double low = std::numeric_limits<double>::max();
    for (size_t m : g.members) {
        const double c = routes_[m].cost;
        if (c > high) {
            high = c;
            g.longest = m;
        }
        if (c < low) {
            low = c;
            g.shortest = m;
        }
    }
}

RelocationMove DefaultPostOptimizer::find_relocation(size_t from_group, size_t to_group) const {
    RelocationMove move;
    const auto g = groups_.find(from_group);
    const auto h = groups_.find(to_group);
    if (g == groups_.end() || h == groups_.end()) return move;
    const size_t giver = g->second.longest;
    const size_t taker = h->second.shortest;
    if (giver == taker || giver >= routes_.size() || taker >= routes_.size()) return move;
    const AgentRoute& a = routes_[giver];
    const AgentRoute& b = routes_[taker];
    if (a.route.size() < 3 || b.route.size() < 2) return move;

    RouteScan scan_a, scan_b;
    evaluator_.scan(a.route, a.agent, scan_a);
    evaluator_.scan(b.route, b.agent, scan_b);
    double best = 0.0;
    for (size_t p = 1; p + 1 < a.route.size(); ++p) {
        const int64_t v = a.route[p];
        if (from_group != to_group && !evaluator_.type_allows(to_group, v)) continue;
        // The giving route's side does not depend on q; and when it alone
        // leaves no gain above best, no q can.
        const RouteEvaluation ca = evaluator_.evaluate_removed(scan_a, p);
        if (!ca.valid || !(a.cost - ca.cost > best)) continue;
        for (size_t q = 1; q < b.route.size(); ++q) {
            const RouteEvaluation cb = evaluator_.evaluate_inserted(scan_b, q, v, a.cost);
            if (!cb.valid) continue;
            const double gain = a.cost - std::max(ca.cost, cb.cost);
            if (gain > best) {
                best = gain;
                move = RelocationMove{p, q, from_group, to_group, gain};
            }
        }
    }
    return move;
}

bool DefaultPostOptimizer::apply_relocation(AgentRoute& from, AgentRoute& to, const RelocationMove& move) {
    if (from.route.size() < 2 || to.route.size() < 2) return false;
    if (move.from_pos < 1 || move.from_pos + 2 > from.route.size() || move.to_pos < 1 ||
        move.to_pos + 1 > to.route.size()) {
        diagnostic(DiagnosticStream::Err, "Invalid indices.");
        return false;
    }
    const int64_t v = from.route[move.from_pos];
    Route new_from = from.route;
    new_from.erase(new_from.begin() + static_cast<std::ptrdiff_t>(move.from_pos));
    Route new_to = to.route;
    new_to.insert(new_to.begin() + static_cast<std::ptrdiff_t>(move.to_pos), v);
    const RouteEvaluation ef = evaluator_.evaluate(new_from, from.agent);
    const RouteEvaluation et = evaluator_.evaluate(new_to, to.agent);
    if (!ef.valid || !et.valid) return false;
    from.route = std::move(new_from);
    from.cost = ef.cost;
    to.route = std::move(new_to);
    to.cost = et.cost;
    return true;
}

void DefaultPostOptimizer::improve_group(size_t type) {
    TypeGroup& g = groups_.at(type);
    for (size_t i : g.members) {
        AgentRoute& r = routes_[i];
        // Costed again so an invalid route is reported once more here.
        const double c = route_cost(r.route, i);
        if (std::isfinite(c)) {
            r.cost = c;
            evaluator_.two_opt(r.route, i, r.cost);
        }
        if (!std::isfinite(r.cost) || !evaluator_.instance().within_route_limit(i, r.cost))
            diagnostic(DiagnosticStream::Err, "[post-opt] path invalid or over capacity, skip agent " + std::to_string(i));
    }
    refresh_extremes(type);
    // At most one relocation per group; balancing between groups comes next.
    const RelocationMove move = find_relocation(type, type);
    if (move.gain > 0) {
        apply_relocation(routes_[g.longest], routes_[g.shortest], move);
        refresh_extremes(type);
    }
}

void DefaultPostOptimizer::balance_groups() {
    for (;;) {
        size_t x = 0, y = 0;
        bool has_x = false, has_y = false;
        double high = -1.0;
        double low = std::numeric_limits<double>::max();
        // Both ends of the move are picked by the groups' longest routes.
        for (size_t t : group_order_) {
            const double c = routes_[groups_.at(t).longest].cost;
            if (c > high) {
                high = c;
                x = t;
                has_x = true;
            }
            if (c < low) {
                low = c;
                y = t;
                has_y = true;
            }
        }
        if (!has_x || !has_y || x == y) return;
        const RelocationMove move = find_relocation(x, y);
        if (!(move.gain > 0)) return;
        if (!apply_relocation(routes_[groups_.at(x).longest], routes_[groups_.at(y).shortest], move)) return;
        refresh_extremes(x);
        refresh_extremes(y);
    }
}

void DefaultPostOptimizer::optimize(const PlannerGraph* graph, const std::vector<NodeRecord>& nodes,
                                    const std::vector<AgentRecord>& agents, Result& result) {
    load(graph, nodes, agents, result);
    for (size_t type : group_order_) improve_group(type);
    balance_groups();

    Result rewritten;
    for (const AgentRoute& r : routes_) {
        rewritten.paths[static_cast<int64_t>(r.agent)] = r.route;
        rewritten.times[static_cast<int64_t>(r.agent)] = r.cost;
    }
    result = std::move(rewritten);
}

}  // namespace dulmar
