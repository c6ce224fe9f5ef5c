#include "improve/stage_solution.h"

#include <algorithm>
#include <cassert>
#include <cstring>

namespace dulmar {

namespace {

// Values of the positions the edits keep move to those positions' new
// places; the places of new targets are left to be filled.
template <class T>
void respace(std::vector<T>& values, const RouteEdit* edits, size_t count) {
    if (count == 1) {
        const RouteEdit& e = edits[0];
        const auto at = values.begin() + static_cast<std::ptrdiff_t>(e.at);
        if (e.added > e.removed) {
            values.insert(at + static_cast<std::ptrdiff_t>(e.removed), e.added - e.removed, T{});
        } else {
            values.erase(at + static_cast<std::ptrdiff_t>(e.added), at + static_cast<std::ptrdiff_t>(e.removed));
        }
        return;
    }
    size_t to = edits[0].at;
    for (size_t k = 0; k < count; ++k) {
        assert(edits[k].added == 0);
        const size_t until = k + 1 < count ? edits[k + 1].at : values.size();
        for (size_t p = edits[k].at + edits[k].removed; p < until; ++p) values[to++] = values[p];
    }
    values.resize(to);
}

// How many leading entries a and b share, among the first `most`.
size_t shared_prefix(const int64_t* a, const int64_t* b, size_t most) {
    constexpr size_t kChunk = 64;
    size_t i = 0;
    while (i + kChunk <= most && std::memcmp(a + i, b + i, kChunk * sizeof(int64_t)) == 0) i += kChunk;
    while (i < most && a[i] == b[i]) ++i;
    return i;
}

// The same for the entries before a_end and b_end, counted back.
size_t shared_suffix(const int64_t* a_end, const int64_t* b_end, size_t most) {
    constexpr size_t kChunk = 64;
    size_t i = 0;
    while (i + kChunk <= most && std::memcmp(a_end - i - kChunk, b_end - i - kChunk, kChunk * sizeof(int64_t)) == 0)
        i += kChunk;
    while (i < most && a_end[-1 - static_cast<std::ptrdiff_t>(i)] == b_end[-1 - static_cast<std::ptrdiff_t>(i)]) ++i;
    return i;
}

}  // namespace

StageSolution::StageSolution(const StageModel& model)
    : model_(&model),
      route_of_(model.node_count(), -1),
      slot_of_(model.node_count(), 0),
      unassigned_(model.targets().size()) {
    const size_t m = model.agent_count();
    routes_.resize(m);
    invalid_.assign(m, 0);
    changed_flag_.assign(m, 0);
    for (size_t v = 0; v < model.node_count(); ++v) loads_ = loads_ || model.demand(static_cast<int64_t>(v)) != 0.0;
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

bool StageSolution::prepare(size_t r, const Route& nodes, RouteEdit& edit) {
    const Route& old = routes_[r].nodes;
    if (!incremental(r) || nodes.size() < 2 || nodes.front() != old.front() || nodes.back() != old.back()) {
        release(r);
        return false;
    }
    // The targets between the shared head and the shared tail change.
    const size_t head = 1 + shared_prefix(old.data() + 1, nodes.data() + 1, std::min(old.size(), nodes.size()) - 2);
    const size_t most = std::min(old.size(), nodes.size()) - 1 - head;
    const size_t tail = shared_suffix(old.data() + old.size() - 1, nodes.data() + nodes.size() - 1, most);
    edit = RouteEdit{head, old.size() - 1 - tail - head, nodes.size() - 1 - tail - head};
    for (size_t p = edit.at; p < edit.at + edit.removed; ++p) {
        route_of_[static_cast<size_t>(old[p])] = -1;
        ++unassigned_;
    }
    return true;
}

void StageSolution::place(size_t r, const Route& nodes, bool edited, const RouteEdit& edit) {
    Route& route = routes_[r].nodes;
    if (!edited) {
        route = nodes;
        refresh(r);
        return;
    }
    respace(route, &edit, 1);
    for (size_t p = edit.at; p < edit.at + edit.added; ++p) {
        const int64_t v = nodes[p];
        route[p] = v;
        if (route_of_[static_cast<size_t>(v)] < 0) --unassigned_;
        route_of_[static_cast<size_t>(v)] = static_cast<int64_t>(r);
    }
    update(r, &edit, 1);
}

void StageSolution::set_route(size_t r, const Route& nodes) {
    RouteEdit edit;
    const bool edited = prepare(r, nodes, edit);
    place(r, nodes, edited, edit);
    refresh_totals();
}

void StageSolution::set_routes(size_t a, const Route& a_nodes, size_t b, const Route& b_nodes) {
    if (b == a) {
        set_route(b, b_nodes);
        return;
    }
    // Both routes let go of their targets before either takes any: targets may pass between them.
    RouteEdit a_edit, b_edit;
    const bool a_edited = prepare(a, a_nodes, a_edit);
    const bool b_edited = prepare(b, b_nodes, b_edit);
    place(a, a_nodes, a_edited, a_edit);
    place(b, b_nodes, b_edited, b_edit);
    refresh_totals();
}

void StageSolution::insert(size_t r, size_t pos, int64_t node) {
    StageRoute& route = routes_[r];
    if (!incremental(r)) {
        route.nodes.insert(route.nodes.begin() + static_cast<std::ptrdiff_t>(pos), node);
        refresh(r);
        refresh_totals();
        return;
    }
    const RouteEdit edit{pos, 0, 1};
    respace(route.nodes, &edit, 1);
    route.nodes[pos] = node;
    if (route_of_[static_cast<size_t>(node)] < 0) --unassigned_;
    route_of_[static_cast<size_t>(node)] = static_cast<int64_t>(r);
    update(r, &edit, 1);
    refresh_totals();
}

void StageSolution::remove(size_t r, size_t pos) {
    StageRoute& route = routes_[r];
    route_of_[static_cast<size_t>(route.nodes[pos])] = -1;
    ++unassigned_;
    if (!incremental(r)) {
        route.nodes.erase(route.nodes.begin() + static_cast<std::ptrdiff_t>(pos));
        refresh(r);
        refresh_totals();
        return;
    }
    const RouteEdit edit{pos, 1, 0};
    respace(route.nodes, &edit, 1);
    update(r, &edit, 1);
    refresh_totals();
}

void StageSolution::remove_nodes(const std::vector<int64_t>& nodes) {
    const size_t m = routes_.size();
    std::vector<char>& touched = touched_;
    touched.assign(m, 0);
    taken_.clear();
    for (int64_t v : nodes) {
        const int64_t r = route_of_[static_cast<size_t>(v)];
        if (r < 0) continue;
        if (incremental(static_cast<size_t>(r))) taken_.emplace_back(static_cast<size_t>(r), position_of(v));
        route_of_[static_cast<size_t>(v)] = -1;
        ++unassigned_;
        touched[static_cast<size_t>(r)] = 1;
    }
    std::sort(taken_.begin(), taken_.end());
    size_t next = 0;  // into taken_
    for (size_t r = 0; r < m; ++r) {
        if (!touched[r]) continue;
        Route& route = routes_[r].nodes;
        if (next < taken_.size() && taken_[next].first == r) {
            // Runs of removed positions, one edit each.
            edits_.clear();
            for (; next < taken_.size() && taken_[next].first == r; ++next) {
                const size_t p = taken_[next].second;
                if (!edits_.empty() && edits_.back().at + edits_.back().removed == p) {
                    ++edits_.back().removed;
                } else {
                    edits_.push_back(RouteEdit{p, 1, 0});
                }
            }
            respace(route, edits_.data(), edits_.size());
            update(r, edits_.data(), edits_.size());
            continue;
        }
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
    // The targets each route shares with other's before the first that
    // differs stay as they are. Every listed route lets go of the others
    // before any takes them: they may have changed routes.
    alike_.resize(routes.size());
    for (size_t k = 0; k < routes.size(); ++k) {
        const Route& mine = routes_[routes[k]].nodes;
        const Route& theirs = other.routes_[routes[k]].nodes;
        size_t& alike = alike_[k];
        // (A route that breaks the depot or assignment rules keeps no timing
        // to share; with precedence pairs the whole plan times every route.)
        const bool keep = incremental(routes[k]) && penalties_ == other.penalties_ && !other.invalid_[routes[k]];
        alike = keep ? shared_prefix(mine.data(), theirs.data(), std::min(mine.size(), theirs.size()) - 1) : 0;
        for (size_t p = std::max<size_t>(alike, 1); p + 1 < mine.size(); ++p) {
            route_of_[static_cast<size_t>(mine[p])] = -1;
            ++unassigned_;
        }
    }
    for (size_t k = 0; k < routes.size(); ++k) {
        const size_t r = routes[k];
        const size_t alike = alike_[k];
        StageRoute& route = routes_[r];
        const StageRoute& from = other.routes_[r];
        set_invalid(r, other.invalid_[r] != 0);
        auto take = [alike](auto& mine, const auto& theirs) {
            mine.resize(theirs.size());
            const auto at = static_cast<std::ptrdiff_t>(std::min(alike, theirs.size()));
            std::copy(theirs.begin() + at, theirs.end(), mine.begin() + at);
        };
        take(route.nodes, from.nodes);
        take(route.hop, from.hop);
        take(route.leave, from.leave);
        take(route.load, from.load);
        take(route.late_leave, from.late_leave);
        take(route.late_sum, from.late_sum);
        route.cost = from.cost;
        route.violation = from.violation;
        const size_t slotted = route.summaries.copy_from(from.summaries, alike);
        const Route& nodes = route.nodes;
        for (size_t i = std::max<size_t>(alike, 1); i + 1 < nodes.size(); ++i) {
            const size_t v = static_cast<size_t>(nodes[i]);
            if (route_of_[v] < 0) --unassigned_;
            route_of_[v] = static_cast<int64_t>(r);
        }
        route.summaries.write_slots(nodes, slotted, slot_of_.data());
    }
    refresh_totals();
}

const double* StageSolution::hops(size_t r) {
    const StageModel& model = *model_;
    StageRoute& route = routes_[r];
    const Route& nodes = route.nodes;
    const size_t n = nodes.size();
    if (model.very_large()) {
        // The walks need every hop as the evaluator takes it; between targets it is the type's cost.
        route.hop.resize(n);
        route.hop[0] = 0.0;
        for (size_t p = 1; p < n; ++p)
            route.hop[p] = model.evaluator().arc(route.agent, static_cast<size_t>(nodes[p - 1]), static_cast<size_t>(nodes[p]));
        return route.hop.data();
    }
    const size_t type = model.type_of(route.agent);
    hops_.resize(n);
    for (size_t p = 2; p + 1 < n; ++p) hops_[p] = model.cost(type, nodes[p - 1], nodes[p]);
    return hops_.data();
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
    route.summaries.build(model, model.type_of(route.agent), route.nodes, hops(r), false, model.very_large(),
                          slot_of_.data());
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
    route.summaries.build(model, model.type_of(route.agent), route.nodes, hops(r), true, model.very_large(),
                          slot_of_.data());
}

bool StageSolution::incremental(size_t r) const {
    // With precedence pairs the running costs come from the whole plan.
    return model_->very_large() && !model_->ordered() && !invalid_[r];
}

void StageSolution::update(size_t r, const RouteEdit* edits, size_t count) {
    const StageModel& model = *model_;
    StageRoute& route = routes_[r];
    if (!changed_flag_[r]) {
        changed_flag_[r] = 1;
        changed_.push_back(r);
    }
    // Positions after the edits, each edit's first new target and the first target it left alone.
    std::ptrdiff_t shift = 0;
    size_t settled = 0;
    for (size_t k = 0; k < count; ++k) {
        const size_t at = static_cast<size_t>(static_cast<std::ptrdiff_t>(edits[k].at) + shift);
        for (size_t p = at; p < at + edits[k].added; ++p) {
            if (!model.serves(route.agent, route.nodes[p])) {
                refresh(r);  // the route breaks the rules: timed whole, as the evaluator judges it
                return;
            }
        }
        settled = at + edits[k].added;
        shift += static_cast<std::ptrdiff_t>(edits[k].added) - static_cast<std::ptrdiff_t>(edits[k].removed);
    }
    if (count == 1 && edits[0].removed == 0 && edits[0].added == 0) return;
    const bool late = penalties_ != nullptr;
    respace(route.hop, edits, count);
    respace(route.load, edits, count);
    respace(route.leave, edits, count);  // with penalties, only kept the route's length
    if (late) {
        respace(route.late_leave, edits, count);
        respace(route.late_sum, edits, count);
    }
    const Route& nodes = route.nodes;
    shift = 0;
    for (size_t k = 0; k < count; ++k) {
        const size_t at = static_cast<size_t>(static_cast<std::ptrdiff_t>(edits[k].at) + shift);
        for (size_t p = at; p <= at + edits[k].added; ++p)
            route.hop[p] = model.evaluator().arc(route.agent, static_cast<size_t>(nodes[p - 1]), static_cast<size_t>(nodes[p]));
        shift += static_cast<std::ptrdiff_t>(edits[k].added) - static_cast<std::ptrdiff_t>(edits[k].removed);
    }
    for (size_t k = count; k-- > 0;) route.summaries.edit(edits[k]);
    route.summaries.commit(model, nodes, route.hop.data(), slot_of_.data());

    if (late) {
        walk_late(r, edits[0].at, settled);
    } else if (!walk(r, edits[0].at, settled)) {
        refresh(r);
        return;
    }
#ifndef NDEBUG
    check_timing(r);
#endif
}

bool StageSolution::walk(size_t r, size_t from, size_t settled) {
    StageRoute& route = routes_[r];
    const StageModel& model = *model_;
    const Route& nodes = route.nodes;
    const size_t n = nodes.size();
    const double capacity = model.capacity_of(route.agent);
    const double limit = model.limit_of(route.agent);
    // The arithmetic of the evaluator's scan, step by step, so that the
    // running costs agree to the bit: passing a visit's summary is visiting
    // the node (visit_rule.h).
    const bool windows = model.instance().has_time_windows();
    double c = route.leave[from - 1];
    double load = route.load[from - 1];
    for (size_t p = from; p < n; ++p) {
        const int64_t v = nodes[p];
        c += route.hop[p];
        if (windows) {
            if (!model.visit(v).pass(c)) return false;
        } else if (model.visit(v).duration > 0.0) {
            c += model.visit(v).duration;  // the service, as visit_node adds it
        }
        if (!within_route_limit(c, limit)) return false;
        if (loads_) {
            load += model.demand(v);
            if (!within_capacity(load, capacity)) return false;
        }
        if (p >= settled && c == route.leave[p] && load == route.load[p]) break;  // as before from here on
        route.leave[p] = c;
        route.load[p] = load;
    }
    route.cost = route.leave[n - 1];
    route.violation = RouteViolation{true, route.cost};
    return true;
}

void StageSolution::walk_late(size_t r, size_t from, size_t settled) {
    StageRoute& route = routes_[r];
    const StageModel& model = *model_;
    const Route& nodes = route.nodes;
    const size_t n = nodes.size();
    // The arithmetic of the evaluator's measure.
    double t = route.late_leave[from - 1];
    double late = route.late_sum[from - 1];
    double load = route.load[from - 1];
    for (size_t p = from; p < n; ++p) {
        const int64_t v = nodes[p];
        t += route.hop[p];
        model.late_visit(v).pass(t, late);
        if (loads_) load += model.demand(v);
        if (p >= settled && t == route.late_leave[p] && late == route.late_sum[p] && load == route.load[p]) break;
        route.late_leave[p] = t;
        route.late_sum[p] = late;
        route.load[p] = load;
    }
    RouteViolation v{true, route.late_leave[n - 1], route.late_sum[n - 1]};
    const double capacity = model.capacity_of(route.agent);
    if (capacity > 0 && route.load[n - 1] > capacity) v.over_capacity = route.load[n - 1] - capacity;
    const double limit = model.limit_of(route.agent);
    if (limit > 0 && v.cost > limit) v.over_limit = v.cost - limit;
    route.violation = v;
    route.cost = penalties_->cost_of(v);
}

#ifndef NDEBUG
void StageSolution::check_timing(size_t r) const {
    const StageRoute& route = routes_[r];
    const RouteEvaluator& evaluator = model_->evaluator();
    if (penalties_ != nullptr) {
        const RouteViolation v = evaluator.measure(route.nodes, route.agent);
        assert(v.valid && v.cost == route.violation.cost && v.late == route.violation.late);
        assert(v.over_limit == route.violation.over_limit && v.over_capacity == route.violation.over_capacity);
        assert(penalties_->cost_of(v) == route.cost);
        return;
    }
    RouteScan scan;
    evaluator.scan(route.nodes, route.agent, scan);
    assert(scan.whole.valid && scan.whole.cost == route.cost);
    for (size_t p = 0; p < route.size(); ++p) assert(scan.prefix[p] == route.leave[p]);
}
#endif

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
