#include "improve/stage_solution.h"

#include <algorithm>

namespace dulmar {

StageSolution::StageSolution(const StageModel& model)
    : model_(&model),
      route_of_(model.node_count(), -1),
      position_of_(model.node_count(), 0),
      unassigned_(model.targets().size()) {
    const size_t m = model.agent_count();
    routes_.resize(m);
    invalid_.assign(m, 0);
    changed_flag_.assign(m, 0);
    for (size_t a = 0; a < m; ++a) {
        routes_[a].agent = a;
        routes_[a].nodes = {model.start_of(a), model.end_of(a)};
        refresh(a);
    }
    refresh_totals();
}

bool StageSolution::load(const Result& result) {
    const StageModel& model = *model_;
    const size_t m = model.agent_count();
    std::vector<Route> taken(m);
    std::vector<char> seen(model.node_count(), 0);
    size_t served = 0;
    for (size_t a = 0; a < m; ++a) {
        const auto found = result.paths.find(static_cast<int64_t>(a));
        if (found == result.paths.end() || found->second.size() < 2) return false;
        const Route& path = found->second;
        if (path.front() != model.start_of(a)) return false;
        const int64_t terminal = path.back();
        if (terminal != model.end_of(a) && terminal != model.start_of(a)) return false;
        for (size_t i = 1; i + 1 < path.size(); ++i) {
            const int64_t v = path[i];
            if (v < 0 || static_cast<size_t>(v) >= model.node_count() || !model.is_target(v) || seen[v]) return false;
            if (!model.serves(a, v)) return false;
            seen[static_cast<size_t>(v)] = 1;
            ++served;
        }
        taken[a] = path;
    }
    if (served != model.targets().size()) return false;

    clear();
    for (size_t a = 0; a < m; ++a) set_route(a, taken[a]);
    if (routes_valid()) return true;
    clear();
    return false;
}

void StageSolution::clear() {
    for (size_t a = 0; a < routes_.size(); ++a) set_route(a, Route{model_->start_of(a), model_->end_of(a)});
}

void StageSolution::write(Result& out) const {
    for (const StageRoute& r : routes_) {
        out.paths[static_cast<int64_t>(r.agent)] = r.nodes;
        out.times[static_cast<int64_t>(r.agent)] = r.cost;
    }
}

void StageSolution::release(size_t r) {
    const Route& nodes = routes_[r].nodes;
    for (size_t i = 1; i + 1 < nodes.size(); ++i) {
        route_of_[static_cast<size_t>(nodes[i])] = -1;
        ++unassigned_;
    }
}

void StageSolution::set_route(size_t r, const Route& nodes) {
    release(r);
    routes_[r].nodes = nodes;
    refresh(r);
    refresh_totals();
}

void StageSolution::set_routes(size_t a, const Route& a_nodes, size_t b, const Route& b_nodes) {
    release(a);
    if (b != a) release(b);
    routes_[a].nodes = a_nodes;
    routes_[b].nodes = b_nodes;
    refresh(a);
    if (b != a) refresh(b);
    refresh_totals();
}

void StageSolution::insert(size_t r, size_t pos, int64_t node) {
    StageRoute& route = routes_[r];
    route.nodes.insert(route.nodes.begin() + static_cast<std::ptrdiff_t>(pos), node);
    refresh(r);
    refresh_totals();
}

void StageSolution::remove(size_t r, size_t pos) {
    StageRoute& route = routes_[r];
    route_of_[static_cast<size_t>(route.nodes[pos])] = -1;
    ++unassigned_;
    route.nodes.erase(route.nodes.begin() + static_cast<std::ptrdiff_t>(pos));
    refresh(r);
    refresh_totals();
}

void StageSolution::remove_nodes(const std::vector<int64_t>& nodes) {
    const size_t m = routes_.size();
    std::vector<char>& touched = touched_;
    touched.assign(m, 0);
    for (int64_t v : nodes) {
        const int64_t r = route_of_[static_cast<size_t>(v)];
        if (r < 0) continue;
        route_of_[static_cast<size_t>(v)] = -1;
        ++unassigned_;
        touched[static_cast<size_t>(r)] = 1;
    }
    for (size_t r = 0; r < m; ++r) {
        if (!touched[r]) continue;
        Route& route = routes_[r].nodes;
        // Interior nodes that lost their route are the ones removed.
        size_t kept = 1;
        for (size_t i = 1; i + 1 < route.size(); ++i)
            if (route_of_[static_cast<size_t>(route[i])] >= 0) route[kept++] = route[i];
        route[kept++] = route.back();
        route.resize(kept);
        refresh(r);
    }
    refresh_totals();
}

void StageSolution::forget_changes() {
    for (size_t r : changed_) changed_flag_[r] = 0;
    changed_.clear();
}

void StageSolution::copy_routes(const StageSolution& other, const std::vector<size_t>& routes) {
    // Every listed route lets go of its targets before any takes them: they may have changed routes.
    for (size_t r : routes) release(r);
    for (size_t r : routes) {
        routes_[r] = other.routes_[r];
        set_invalid(r, other.invalid_[r] != 0);
        const Route& nodes = routes_[r].nodes;
        for (size_t i = 1; i + 1 < nodes.size(); ++i) {
            const size_t v = static_cast<size_t>(nodes[i]);
            if (route_of_[v] < 0) --unassigned_;
            route_of_[v] = static_cast<int64_t>(r);
            position_of_[v] = i;
        }
    }
    refresh_totals();
}

void StageSolution::refresh(size_t r) {
    const StageModel& model = *model_;
    StageRoute& route = routes_[r];
    const size_t n = route.nodes.size();
    if (!changed_flag_[r]) {
        changed_flag_[r] = 1;
        changed_.push_back(r);
    }
    for (size_t i = 1; i + 1 < n; ++i) {
        const size_t v = static_cast<size_t>(route.nodes[i]);
        if (route_of_[v] < 0) --unassigned_;
        route_of_[v] = static_cast<int64_t>(r);
        position_of_[v] = i;
    }

    if (penalties_ != nullptr) {
        refresh_breakable(r);
        return;
    }
    model.evaluator().scan(route.nodes, route.agent, scan_);
    const bool valid = scan_.whole.valid;
    set_invalid(r, !valid);
    route.leave.assign(scan_.prefix.begin(), scan_.prefix.end());
    route.leave.resize(n, 0.0);
    route.cost = valid ? scan_.whole.cost : 0.0;
    route.violation = RouteViolation{valid, route.cost};
    route.load.resize(n);
    double load = 0.0;
    for (size_t i = 0; i < n; ++i) route.load[i] = load += model.demand(route.nodes[i]);

    const size_t type = model.type_of(route.agent);
    // Each hop between targets once, for the summaries both ways.
    hops_.resize(n);
    for (size_t p = 1; p + 2 < n; ++p) hops_[p] = model.cost(type, route.nodes[p], route.nodes[p + 1]);
    route.tail.resize(n);
    if (n >= 3) {
        route.tail[n - 2] = model.visit(route.nodes[n - 2]);
        for (size_t p = n - 2; p-- > 1;) route.tail[p] = join(model.visit(route.nodes[p]), hops_[p], route.tail[p + 1]);
    }
    route.tail[n - 1] = Segment{};
    if (!model.large()) return;

    route.head.resize(n);
    if (n >= 3) {
        route.head[1] = model.visit(route.nodes[1]);
        for (size_t p = 2; p + 1 < n; ++p) route.head[p] = join(route.head[p - 1], hops_[p - 1], model.visit(route.nodes[p]));
    }
    route.tail_by_type.clear();
    if (model.types().size() < 2 || n < 3) return;
    // A target type t may not serve blocks every run through it.
    const Segment blocked{0.0, -Segment::kInf, -Segment::kInf};
    route.tail_by_type.resize(model.evaluator().costs().dim() * n);
    for (size_t t : model.types()) {
        Segment* tail = route.tail_by_type.data() + t * n;
        auto visit = [&](int64_t v) { return model.type_serves(t, v) ? model.visit(v) : blocked; };
        tail[n - 2] = visit(route.nodes[n - 2]);
        for (size_t p = n - 2; p-- > 1;)
            tail[p] = join(visit(route.nodes[p]), model.cost(t, route.nodes[p], route.nodes[p + 1]), tail[p + 1]);
    }
}

void StageSolution::refresh_breakable(size_t r) {
    const StageModel& model = *model_;
    StageRoute& route = routes_[r];
    const size_t n = route.nodes.size();
    const RouteViolation v = model.evaluator().measure(route.nodes, route.agent);
    set_invalid(r, !v.valid);
    route.violation = v;
    route.cost = v.valid ? penalties_->cost_of(v) : 0.0;
    route.load.resize(n);
    double load = 0.0;
    for (size_t i = 0; i < n; ++i) route.load[i] = load += model.demand(route.nodes[i]);

    // The walk of measure(), position by position.
    const PreparedInstance& rules = model.instance();
    route.late_leave.assign(n, 0.0);
    route.late_sum.assign(n, 0.0);
    double t = 0.0;
    double late = 0.0;
    for (size_t i = 1; i < n && v.valid; ++i) {
        const size_t u = static_cast<size_t>(route.nodes[i - 1]);
        const size_t w = static_cast<size_t>(route.nodes[i]);
        t += rules.hop(route.agent, u, w);
        visit_node_late(rules.window(w), rules.service(w), t, late);
        route.late_leave[i] = t;
        route.late_sum[i] = late;
    }
    route.leave = route.late_leave;

    const size_t type = model.type_of(route.agent);
    route.late_tail.resize(n);
    if (n >= 3) {
        route.late_tail[n - 2] = model.late_visit(route.nodes[n - 2]);
        for (size_t p = n - 2; p-- > 1;) {
            route.late_tail[p] = join(model.late_visit(route.nodes[p]),
                                      model.cost(type, route.nodes[p], route.nodes[p + 1]), route.late_tail[p + 1]);
        }
    }
    route.late_tail[n - 1] = WarpSegment{};
}

void StageSolution::set_invalid(size_t r, bool invalid) {
    if (invalid == (invalid_[r] != 0)) return;
    invalid_[r] = invalid ? 1 : 0;
    if (invalid) {
        ++invalid_routes_;
    } else {
        --invalid_routes_;
    }
}

void StageSolution::set_penalties(const Penalties* penalties) {
    penalties_ = penalties;
    for (size_t r = 0; r < routes_.size(); ++r) refresh(r);
    refresh_totals();
}

RouteViolation StageSolution::violations() const {
    RouteViolation sum;
    for (const StageRoute& route : routes_) {
        sum.valid = sum.valid && route.violation.valid;
        sum.cost += route.violation.cost;
        sum.late += route.violation.late;
        sum.over_limit += route.violation.over_limit;
        sum.over_capacity += route.violation.over_capacity;
    }
    return sum;
}

void StageSolution::time_whole_plan() {
    const StageModel& model = *model_;
    plan_invalid_ = false;
    if (!model.ordered() || penalties_ != nullptr || invalid_routes_ != 0) return;
    std::vector<const Route*>& view = model.plan_view();
    view.resize(routes_.size());
    for (size_t r = 0; r < routes_.size(); ++r) view[r] = &routes_[r].nodes;
    std::vector<double>& costs = costs_;
    plan_invalid_ = !model.plans().evaluate(view, costs);
    if (plan_invalid_) return;
    for (size_t r = 0; r < routes_.size(); ++r) {
        StageRoute& route = routes_[r];
        route.cost = costs[r];
        route.violation = RouteViolation{true, route.cost};
        route.leave = model.plans().leave(r);
    }
}

void StageSolution::refresh_totals() {
    time_whole_plan();
    const size_t m = routes_.size();
    totals_ = CostTotals{};
    breaking_routes_ = 0;
    for (size_t r = 0; r < m; ++r) {
        totals_.add(routes_[r].cost);
        if (penalties_ != nullptr && !routes_[r].violation.feasible()) ++breaking_routes_;
    }
    // The three largest, largest first; ties keep the lower index.
    size_t count = 0;
    for (size_t r = 0; r < m; ++r) {
        const double c = routes_[r].cost;
        size_t at = count < 3 ? count : 3;
        while (at > 0 && routes_[top_[at - 1]].cost < c) --at;
        if (at >= 3) continue;
        for (size_t k = std::min<size_t>(count, 2); k > at; --k) top_[k] = top_[k - 1];
        top_[at] = r;
        if (count < 3) ++count;
    }
    for (size_t k = count; k < 3; ++k) top_[k] = m;  // no such route
}

double StageSolution::max_except(size_t a, size_t b) const {
    for (size_t k = 0; k < 3; ++k) {
        const size_t r = top_[k];
        if (r >= routes_.size()) return 0.0;
        if (r != a && r != b) return routes_[r].cost;
    }
    return 0.0;
}


}  // namespace dulmar
