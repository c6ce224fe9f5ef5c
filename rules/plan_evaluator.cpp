#include "rules/plan_evaluator.h"

#include <algorithm>
#include <limits>

namespace dulmar {

namespace {

constexpr double kNoFloor = -std::numeric_limits<double>::infinity();

}  // namespace

bool PlanEvaluator::evaluate(const std::vector<const Route*>& plan, std::vector<double>& costs) const {
    const bool valid = run(plan);
    costs.assign(plan.size(), 0.0);
    if (!valid) return false;
    for (size_t a = 0; a < plan.size(); ++a)
        if (!leave_[a].empty()) costs[a] = leave_[a].back();
    return true;
}

bool PlanEvaluator::evaluate(const Result& solution, size_t agents, std::vector<double>& costs) const {
    std::vector<const Route*> plan(agents, nullptr);
    for (size_t a = 0; a < agents; ++a) {
        const auto found = solution.paths.find(static_cast<int64_t>(a));
        if (found != solution.paths.end()) plan[a] = &found->second;
    }
    return evaluate(plan, costs);
}

bool PlanEvaluator::run(const std::vector<const Route*>& plan) const {
    const RouteEvaluator& rules = *routes_;
    const PrecedenceRule& order = rules.instance().precedence();
    const size_t n = rules.node_count();
    const size_t m = plan.size();
    if (where_.size() != n) {
        where_.assign(n, -1);
        at_.assign(n, 0);
        done_.assign(n, 0);
        finish_.assign(n, 0.0);
    }
    for (int64_t v : placed_) where_[static_cast<size_t>(v)] = -1, done_[static_cast<size_t>(v)] = 0;
    placed_.clear();
    cursor_.assign(m, 0);
    load_.assign(m, 0.0);
    leave_.resize(m);
    ready_.resize(m);
    for (size_t a = 0; a < m; ++a) {
        leave_[a].clear();
        ready_[a].clear();
        const Route* route = plan[a];
        if (route == nullptr || route->empty()) continue;
        if (a >= rules.agent_count() || !rules.ends_ok(*route, a)) return false;
        if (!order.active()) continue;
        for (size_t i = 1; i + 1 < route->size(); ++i) {
            const int64_t v = (*route)[i];
            if (v < 0 || static_cast<size_t>(v) >= n || !order.involved(static_cast<size_t>(v))) continue;
            const size_t node = static_cast<size_t>(v);
            if (where_[node] >= 0) return false;  // a paired node served twice
            where_[node] = static_cast<int64_t>(a);
            at_[node] = i;
            placed_.push_back(v);
        }
    }
    for (const PrecedencePair& pair : order.pairs()) {
        const int64_t rb = where_[pair.before];
        const int64_t ra = where_[pair.after];
        if (rb < 0 || ra < 0) continue;
        const bool one_route = rb == ra;
        if (pair.kind == PrecedenceType::Diff && one_route) return false;
        if (pair.kind == PrecedenceType::Same && !one_route) return false;
        // On one route the before node comes first, for every kind.
        if (one_route && at_[pair.before] >= at_[pair.after]) return false;
    }
    // Sweeps over the routes, each walked until a before node it waits for is
    // untimed; a sweep that moves no route leaves a deadlock.
    for (;;) {
        bool moved = false;
        bool finished = true;
        for (size_t a = 0; a < m; ++a) {
            if (!advance(plan, a, moved)) return false;
            const Route* route = plan[a];
            if (route != nullptr && cursor_[a] < route->size()) finished = false;
        }
        if (finished) return true;
        if (!moved) return false;
    }
}

bool PlanEvaluator::advance(const std::vector<const Route*>& plan, size_t a, bool& moved) const {
    const Route* route = plan[a];
    if (route == nullptr) return true;
    const RouteEvaluator& rules = *routes_;
    const PrecedenceRule& order = rules.instance().precedence();
    size_t& i = cursor_[a];
    double c = leave_[a].empty() ? 0.0 : leave_[a].back();
    while (i < route->size()) {
        double floor = kNoFloor;
        const int64_t v = (*route)[i];
        const bool paired = i > 0 && v >= 0 && order.timed() && order.involved(static_cast<size_t>(v));
        if (paired) {
            for (uint32_t k : order.into(static_cast<size_t>(v))) {
                const PrecedencePair& pair = order.pair(k);
                if (!pair.timed() || where_[pair.before] < 0) continue;
                if (!done_[pair.before]) return true;  // waits for another route
                floor = std::max(floor, finish_[pair.before]);
            }
        }
        if (!rules.advance(*route, a, i, floor, c, load_[a])) return false;
        leave_[a].push_back(c);
        ready_[a].push_back(floor);
        if (v >= 0 && order.involved(static_cast<size_t>(v)) && where_[static_cast<size_t>(v)] >= 0) {
            finish_[static_cast<size_t>(v)] = c;
            done_[static_cast<size_t>(v)] = 1;
        }
        ++i;
        moved = true;
    }
    return true;
}

std::vector<std::vector<Stop>> PlanEvaluator::schedule(const std::vector<const Route*>& plan) const {
    std::vector<std::vector<Stop>> out(plan.size());
    if (!run(plan)) return out;
    const PreparedInstance& p = routes_->instance();
    for (size_t a = 0; a < plan.size(); ++a) {
        const Route* route = plan[a];
        if (route == nullptr || route->empty()) continue;
        double carried = 0.0;
        for (size_t i = 0; i < route->size(); ++i) {
            const size_t node = static_cast<size_t>((*route)[i]);
            Stop stop;
            stop.node = (*route)[i];
            // The arrival repeats the walk's arithmetic, so the times agree with the cost to the bit.
            stop.arrival = i == 0 ? 0.0 : leave_[a][i - 1] + p.hop(a, static_cast<size_t>((*route)[i - 1]), node);
            stop.departure = leave_[a][i];
            const double held = std::max(stop.arrival, ready_[a][i]);
            const TimeWindow* w = i == 0 ? nullptr : p.window(node);
            stop.start = w != nullptr ? std::max(w->start, held) : held;
            stop.wait = stop.start - stop.arrival;
            carried += p.demand(node);
            stop.load = carried;
            out[a].push_back(stop);
        }
    }
    return out;
}

}  // namespace dulmar
