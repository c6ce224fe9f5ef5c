#include "improve/local_search.h"

#include <algorithm>

namespace dulmar {

LocalSearch::LocalSearch(const StageModel& model, size_t neighbours)
    : model_(model), neighbours_(neighbours), queued_(model.node_count(), 0) {}

void LocalSearch::push(int64_t node) {
    if (node < 0 || !model_.is_target(node) || queued_[static_cast<size_t>(node)]) return;
    queued_[static_cast<size_t>(node)] = 1;
    queue_.push_back(node);
}

void LocalSearch::push_around(const StageSolution& s, size_t route, const Route& before) {
    const Route& nodes = s.route(route).nodes;
    const size_t n = nodes.size();
    size_t first = 1;
    size_t last = n - 1;  // positions [first, last) are queued
    if (model_.large()) {
        // The change spans the positions after the common head and before the common tail.
        size_t head = 0;
        while (head < n && head < before.size() && nodes[head] == before[head]) ++head;
        size_t tail = 0;
        while (tail + head < n && tail + head < before.size() &&
               nodes[n - 1 - tail] == before[before.size() - 1 - tail])
            ++tail;
        first = std::max<size_t>(first, head > kReach ? head - kReach : 0);
        last = std::min(last, n - tail + kReach);
        if (model_.very_large() && last > first + 4 * kReach) {
            // Inside a long change (a reversal, a string carried far) the
            // targets keep their neighbours on the route: only its ends are new.
            for (size_t i = first; i < first + 2 * kReach; ++i) push(nodes[i]);
            first = last - 2 * kReach;
        }
    }
    for (size_t i = first; i < last; ++i) push(nodes[i]);
}

size_t LocalSearch::run(StageSolution& solution, const std::vector<int64_t>& queue, std::mt19937_64& rng,
                        const std::function<bool()>* stop) {
    queue_.clear();
    for (int64_t v : queue) push(v);
    std::shuffle(queue_.begin(), queue_.end(), rng);
    // Each applied move lowers the value by more than the tolerance, so this
    // cap only guards against a rounding cycle.
    const size_t cap = 200 * (model_.targets().size() + 1);
    size_t applied = 0;
    for (size_t head = 0; head < queue_.size() && applied < cap; ++head) {
        model_.poll_within_steps();
        if (stop != nullptr && head % 256 == 255 && (*stop)()) break;
        const int64_t u = queue_[head];
        queued_[static_cast<size_t>(u)] = 0;
        if (improve_target(solution, u)) {
            ++applied;
            push(u);
        }
        if (head > 4096 && head * 2 > queue_.size()) {
            queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(head) + 1);
            head = static_cast<size_t>(-1);
        }
    }
    for (size_t i = 0; i < queue_.size(); ++i) queued_[static_cast<size_t>(queue_[i])] = 0;
    queue_.clear();
    return applied;
}

bool LocalSearch::improve_target(StageSolution& s, int64_t u) {
    const int64_t ru = s.route_of(u);
    if (ru < 0) return false;
    const StageRoute& A = s.route(static_cast<size_t>(ru));
    const size_t pu = s.position_of(u);
    Removed removed[kMaxString + 1];
    for (size_t len = 1; len <= kMaxString && pu + len + 1 <= A.size(); ++len) {
        RoutePlan a(A, pu - 1);
        a.then_rest(A, pu + len);
        removed[len].feasible = time_plan(s, a, removed[len].cost);
    }
    const std::vector<int64_t>& near = model_.neighbours(u);
    const size_t count = std::min(neighbours_, near.size());
    for (size_t i = 0; i < count; ++i) {
        const int64_t v = near[i];
        const int64_t rv = s.route_of(v);
        if (rv < 0) continue;
        if (rv == ru ? within_route(s, u, v) : between_routes(s, u, v, removed)) return true;
    }
    return into_route_fronts(s, u, removed[1]);
}

bool LocalSearch::price(const StageSolution& s, const RoutePlan& plan, double& cost) const {
    if (!time_plan(s, plan, cost)) return false;
    return !model_.min_max() || cost <= s.value().max_cost + kTolerance;
}

bool LocalSearch::try_plans(StageSolution& s, const RoutePlan& a, const RoutePlan* b) {
    double ca = 0.0;
    // Timed whole, a plan of two routes is priced once, with both.
    if (!whole_plans(s) && !price(s, a, ca)) return false;
    return try_priced(s, a, ca, b);
}

bool LocalSearch::whole_plans(const StageSolution& s) const { return model_.ordered() && s.penalties() == nullptr; }

bool LocalSearch::try_priced(StageSolution& s, const RoutePlan& a, double ca, const RoutePlan* b) {
    const size_t ra = a.base->agent;
    const bool whole = whole_plans(s);
    if (!whole && model_.min_max() && ca > s.value().max_cost + kTolerance) return false;
    size_t rb = ra;
    double cb = 0.0;
    if (b != nullptr) {
        rb = b->base->agent;
        if (!whole && !price(s, *b, cb)) return false;
    }
    const StageValue before = s.value();
    StageValue after;
    if (whole) {
        // Through the pairs the move may change other routes' waits too.
        if (!time_plans(s, a, b, plan_costs_)) return false;
        for (double c : plan_costs_) after.add(c);
    } else {
        const double old_cost = s.route(ra).cost + (b != nullptr ? s.route(rb).cost : 0.0);
        after.sum_cost = before.sum_cost - old_cost + ca + cb;
        after.max_cost = std::max({s.max_except(ra, rb), ca, cb});
    }
    if (!better(after, before, model_.min_max())) return false;

    build_plan(a, scratch_a_);
    undo_a_ = s.route(ra).nodes;
    if (b != nullptr) {
        build_plan(*b, scratch_b_);
        undo_b_ = s.route(rb).nodes;
        s.set_routes(ra, scratch_a_, rb, scratch_b_);
    } else {
        s.set_route(ra, scratch_a_);
    }
    // The plan's price is checked against the evaluator's own costs.
    if (s.routes_valid() && better(s.value(), before, model_.min_max())) {
        push_around(s, ra, undo_a_);
        if (b != nullptr) push_around(s, rb, undo_b_);
        return true;
    }
    if (b != nullptr) {
        s.set_routes(ra, undo_a_, rb, undo_b_);
    } else {
        s.set_route(ra, undo_a_);
    }
    return false;
}

bool LocalSearch::between_routes(StageSolution& s, int64_t u, int64_t v, const Removed* removed) {
    const StageRoute& A = s.route(static_cast<size_t>(s.route_of(u)));
    const StageRoute& B = s.route(static_cast<size_t>(s.route_of(v)));
    const size_t pu = s.position_of(u);
    const size_t pv = s.position_of(v);
    const size_t last_a = A.size() - 2;
    const size_t last_b = B.size() - 2;

    if (removed[1].feasible) {  // u moves next to v, after it or before it
        RoutePlan a(A, pu - 1);
        a.then_rest(A, pu + 1);
        RoutePlan after(B, pv);
        after.then(A, pu, pu).then_rest(B, pv + 1);
        if (try_priced(s, a, removed[1].cost, &after)) return true;
        RoutePlan before(B, pv - 1);
        before.then(A, pu, pu).then_rest(B, pv);
        if (try_priced(s, a, removed[1].cost, &before)) return true;
    }
    {  // u and v change places
        RoutePlan a(A, pu - 1);
        a.then(B, pv, pv).then_rest(A, pu + 1);
        RoutePlan b(B, pv - 1);
        b.then(A, pu, pu).then_rest(B, pv + 1);
        if (try_plans(s, a, &b)) return true;
    }
    {  // tails exchanged so that u is followed by v
        RoutePlan a(A, pu);
        a.then_rest(B, pv);
        RoutePlan b(B, pv - 1);
        b.then_rest(A, pu + 1);
        if (try_plans(s, a, &b)) return true;
    }
    {  // tails exchanged so that v is followed by u
        RoutePlan a(A, pu - 1);
        a.then_rest(B, pv + 1);
        RoutePlan b(B, pv);
        b.then_rest(A, pu);
        if (try_plans(s, a, &b)) return true;
    }
    // A string starting at u moves after v, either way round.
    for (size_t len = 2; len <= kMaxString && pu + len - 1 <= last_a; ++len) {
        if (!removed[len].feasible) continue;
        RoutePlan a(A, pu - 1);
        a.then_rest(A, pu + len);
        for (bool reversed : {false, true}) {
            RoutePlan b(B, pv);
            b.then(A, pu, pu + len - 1, reversed).then_rest(B, pv + 1);
            if (try_priced(s, a, removed[len].cost, &b)) return true;
        }
    }
    // Strings starting at u and at v change places.
    for (size_t x = 1; x <= kMaxString && pu + x - 1 <= last_a; ++x) {
        for (size_t y = 1; y <= kMaxString && pv + y - 1 <= last_b; ++y) {
            if (x == 1 && y == 1) continue;
            RoutePlan a(A, pu - 1);
            a.then(B, pv, pv + y - 1).then_rest(A, pu + x);
            RoutePlan b(B, pv - 1);
            b.then(A, pu, pu + x - 1).then_rest(B, pv + y);
            if (try_plans(s, a, &b)) return true;
        }
    }
    return false;
}

bool LocalSearch::within_route(StageSolution& s, int64_t u, int64_t v) {
    const StageRoute& A = s.route(static_cast<size_t>(s.route_of(u)));
    const size_t pu = s.position_of(u);
    const size_t pv = s.position_of(v);
    const size_t last = A.size() - 2;

    {  // 2-opt: reverse what lies between, so that u and v become adjacent
        RoutePlan a(A, std::min(pu, pv));
        if (pu < pv) {
            a.then(A, pu + 1, pv, true).then_rest(A, pv + 1);
        } else {
            a.then(A, pv + 1, pu, true).then_rest(A, pu + 1);
        }
        if (try_plans(s, a, nullptr)) return true;
    }
    // Or-opt: a string starting at u moves after v, either way round.
    for (size_t len = 1; len <= kMaxString && pu + len - 1 <= last; ++len) {
        const size_t end = pu + len - 1;
        if (pv + 1 >= pu && pv <= end) continue;
        for (bool reversed : {false, true}) {
            if (len == 1 && reversed) continue;
            RoutePlan a(A, pv < pu ? pv : pu - 1);
            if (pv < pu) {
                a.then(A, pu, end, reversed).then(A, pv + 1, pu - 1).then_rest(A, end + 1);
            } else {
                a.then(A, end + 1, pv).then(A, pu, end, reversed).then_rest(A, pv + 1);
            }
            if (try_plans(s, a, nullptr)) return true;
        }
    }
    return false;
}

bool LocalSearch::into_route_fronts(StageSolution& s, int64_t u, const Removed& removed) {
    const size_t ru = static_cast<size_t>(s.route_of(u));
    const StageRoute& A = s.route(ru);
    const size_t pu = s.position_of(u);
    if (pu > 1) {  // to the front of its own route
        RoutePlan a(A, 0);
        a.then(A, pu, pu).then(A, 1, pu - 1).then_rest(A, pu + 1);
        if (try_plans(s, a, nullptr)) return true;
    }
    if (pu + 2 < A.size()) {  // to the back of its own route
        RoutePlan a(A, pu - 1);
        a.then(A, pu + 1, A.size() - 2).then(A, pu, pu);
        if (try_plans(s, a, nullptr)) return true;
    }
    if (!removed.feasible) return false;
    RoutePlan a(A, pu - 1);
    a.then_rest(A, pu + 1);
    for (size_t r = 0; r < s.routes().size(); ++r) {
        if (r == ru || !model_.serves(r, u)) continue;
        // On very large instances busy routes are reached through the neighbours.
        if (model_.very_large() && s.route(r).target_count() > 0) continue;
        const StageRoute& B = s.route(r);
        RoutePlan b(B, 0);
        b.then(A, pu, pu).then_rest(B, 1);
        if (try_priced(s, a, removed.cost, &b)) return true;
    }
    return false;
}

}  // namespace dulmar
