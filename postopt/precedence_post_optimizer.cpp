#include "postopt/precedence_post_optimizer.h"

#include <algorithm>

namespace dulmar {

bool PrecedencePostOptimizer::improves(CostTotals& best) {
    ++candidates_;
    if (!plans_.evaluate(view_, costs_)) return false;
    CostTotals totals;
    for (double c : costs_) totals.add(c);
    if (!better(totals, best, min_max_)) return false;
    best = totals;
    return true;
}

bool PrecedencePostOptimizer::two_opt(CostTotals& best) {
    for (Route& route : routes_) {
        for (size_t first = 1; first + 2 < route.size(); ++first) {
            for (size_t last = first + 1; last + 1 < route.size(); ++last) {
                if (candidates_ >= kMaxCandidates) return false;
                const auto from = route.begin() + static_cast<std::ptrdiff_t>(first);
                const auto to = route.begin() + static_cast<std::ptrdiff_t>(last) + 1;
                std::reverse(from, to);
                if (improves(best)) return true;
                std::reverse(from, to);
            }
        }
    }
    return false;
}

bool PrecedencePostOptimizer::relocate(CostTotals& best) {
    for (size_t a = 0; a < routes_.size(); ++a) {
        for (size_t p = 1; p + 1 < routes_[a].size(); ++p) {
            const int64_t v = routes_[a][p];
            routes_[a].erase(routes_[a].begin() + static_cast<std::ptrdiff_t>(p));
            for (size_t b = 0; b < routes_.size(); ++b) {
                Route& target = routes_[b];
                if (target.size() < 2 || !evaluator_.can_serve(b, v)) continue;
                for (size_t q = 1; q < target.size(); ++q) {
                    if (b == a && q == p) continue;
                    if (candidates_ >= kMaxCandidates) {
                        routes_[a].insert(routes_[a].begin() + static_cast<std::ptrdiff_t>(p), v);
                        return false;
                    }
                    target.insert(target.begin() + static_cast<std::ptrdiff_t>(q), v);
                    if (improves(best)) return true;
                    target.erase(target.begin() + static_cast<std::ptrdiff_t>(q));
                }
            }
            routes_[a].insert(routes_[a].begin() + static_cast<std::ptrdiff_t>(p), v);
        }
    }
    return false;
}

void PrecedencePostOptimizer::optimize(const PlannerGraph* graph, const std::vector<NodeRecord>& nodes,
                                       const std::vector<AgentRecord>& agents, Result& result) {
    evaluator_.prepare(graph, nodes, agents);
    const size_t m = agents.size();
    routes_.assign(m, Route{});
    view_.assign(m, nullptr);
    for (size_t a = 0; a < m; ++a) {
        const auto found = result.paths.find(static_cast<int64_t>(a));
        if (found != result.paths.end()) routes_[a] = found->second;
        view_[a] = &routes_[a];
    }
    if (!plans_.evaluate(view_, costs_)) return;  // not a plan this optimiser can improve
    CostTotals best;
    for (double c : costs_) best.add(c);
    candidates_ = 0;
    while (two_opt(best) || relocate(best)) {
    }
    plans_.evaluate(view_, costs_);
    for (size_t a = 0; a < m; ++a) {
        result.paths[static_cast<int64_t>(a)] = routes_[a];
        result.times[static_cast<int64_t>(a)] = costs_[a];
    }
}

}  // namespace dulmar
