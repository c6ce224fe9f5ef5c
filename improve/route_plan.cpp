#include "improve/route_plan.h"

#include "rules/visit_rule.h"

namespace dulmar {

size_t RoutePlan::target_count() const {
    size_t count = keep;
    for (size_t k = 0; k < run_count; ++k) count += runs[k].length();
    return count;
}

namespace {

// On very large instances with windows, a run that no summary times and that
// is longer than this is not walked: the move is refused instead, so that no
// move costs as much as its route is long.
constexpr size_t kLongestWalk = 48;

// The pricing functions below are instantiated for very large instances,
// for dense cost layers, and for the rest, so that no instance pays in its
// innermost loops for what only the others need.
template <bool kVeryLarge>
bool too_long_to_walk(const Run& run) {
    return kVeryLarge && run.length() > kLongestWalk;
}

template <bool kDense>
double hop_cost(const StageModel& model, size_t type, int64_t u, int64_t v) {
    return kDense ? model.dense_cost(type, u, v) : model.cost(type, u, v);
}

// The plan priced as one that may break windows, its route limit and its
// capacity: measured like RouteEvaluator::measure, with the penalties added.
// False only when the agent may not serve a target of the plan.
template <bool kVeryLarge, bool kDense>
bool price_breakable(const StageModel& model, const RoutePlan& plan, const Penalties& penalties, double& cost) {
    const StageRoute& base = *plan.base;
    const size_t agent = base.agent;
    const size_t type = model.type_of(agent);
    RouteViolation v;
    double& t = v.cost;
    t = base.late_leave[plan.keep];
    v.late = base.late_sum[plan.keep];
    int64_t prev = base.nodes[plan.keep];
    double load = base.load[plan.keep];
    for (size_t k = 0; k < plan.run_count; ++k) {
        const Run& run = plan.runs[k];
        if (run.empty()) continue;
        load += run.route ? run.route->load[run.last] - run.route->load[run.first - 1] : model.demand(run.node);
        const bool same_type = run.route != nullptr && model.type_of(run.route->agent) == type;
        if (same_type && !run.reversed && run.last + 2 == run.route->size()) {
            const StageRoute& from = *run.route;
            t += hop_cost<kDense>(model, type, prev, from.nodes[run.first]);
            from.summaries.late_tail(run.first).pass(t, v.late);
            prev = from.nodes[run.last];
            continue;
        }
        if (too_long_to_walk<kVeryLarge>(run)) return false;
        const size_t count = run.length();
        for (size_t i = 0; i < count; ++i) {
            const int64_t node = run.at(i);
            if (!same_type && !model.serves(agent, node)) return false;
            t += hop_cost<kDense>(model, type, prev, node);
            model.late_visit(node).pass(t, v.late);
            prev = node;
        }
    }
    const int64_t terminal = base.nodes.back();
    t += model.evaluator().arc(agent, static_cast<size_t>(prev), static_cast<size_t>(terminal));
    model.late_visit(terminal).pass(t, v.late);
    load += model.demand(terminal);
    const double capacity = model.capacity_of(agent);
    if (capacity > 0 && load > capacity) v.over_capacity = load - capacity;
    const double limit = model.limit_of(agent);
    if (limit > 0 && t > limit) v.over_limit = t - limit;
    cost = penalties.cost_of(v);
    return true;
}


template <bool kVeryLarge, bool kDense>
bool time_kept_plan(const StageModel& model, const RoutePlan& plan, double& cost) {
    const StageRoute& base = *plan.base;
    const size_t agent = base.agent;
    const size_t type = model.type_of(agent);
    double t = base.leave[plan.keep];
    int64_t prev = base.nodes[plan.keep];
    const double capacity = model.capacity_of(agent);
    double load = base.load[plan.keep];

    for (size_t k = 0; k < plan.run_count; ++k) {
        const Run& run = plan.runs[k];
        if (run.empty()) continue;
        if (capacity > 0) {
            // Demands are never negative, so a run that overloads the route condemns the plan.
            load += run.route ? run.route->load[run.last] - run.route->load[run.first - 1] : model.demand(run.node);
            if (!within_capacity(load, capacity)) return false;
        }
        const bool same_type = run.route != nullptr && model.type_of(run.route->agent) == type;
        if (same_type && !run.reversed && run.last + 2 == run.route->size()) {
            const StageRoute& from = *run.route;
            t += hop_cost<kDense>(model, type, prev, from.nodes[run.first]);
            if (!from.summaries.tail(run.first).pass(t)) return false;
            prev = from.nodes[run.last];
            continue;
        }
        if (model.large() && run.route != nullptr && !run.reversed) {
            // A route's head, or its tail timed for another type.
            const StageRoute& from = *run.route;
            Segment summary;
            bool summarised = true;
            if (same_type && run.first == 1) {
                summary = from.summaries.head(run.last);
            } else if (run.last + 2 == from.size() && from.summaries.typed()) {
                summary = from.summaries.tail_for(type, run.first);
            } else {
                summarised = false;
            }
            if (summarised) {
                t += hop_cost<kDense>(model, type, prev, from.nodes[run.first]);
                if (!summary.pass(t)) return false;
                prev = from.nodes[run.last];
                continue;
            }
        }
        if (kVeryLarge && same_type && !model.instance().has_time_windows()) {
            // Without windows a run takes its travel and service whichever
            // way round (costs from a metric are symmetric): the route's
            // running costs time it (equal up to rounding).
            const StageRoute& from = *run.route;
            const int64_t enter = from.nodes[run.reversed ? run.last : run.first];
            t += hop_cost<kDense>(model, type, prev, enter) + model.visit(from.nodes[run.first]).duration +
                 (from.leave[run.last] - from.leave[run.first]);
            prev = from.nodes[run.reversed ? run.first : run.last];
            continue;
        }
        if (too_long_to_walk<kVeryLarge>(run)) return false;
        const size_t count = run.length();
        for (size_t i = 0; i < count; ++i) {
            const int64_t v = run.at(i);
            if (!same_type && !model.serves(agent, v)) return false;
            t += hop_cost<kDense>(model, type, prev, v);
            if (!model.visit(v).pass(t)) return false;
            prev = v;
        }
    }

    const int64_t terminal = base.nodes.back();
    t += model.evaluator().arc(agent, static_cast<size_t>(prev), static_cast<size_t>(terminal));
    if (!model.visit(terminal).pass(t)) return false;
    const double limit = model.limit_of(agent);
    if (limit > 0 && t > limit) return false;
    cost = t;
    return true;
}

}  // namespace

bool time_plan(const StageModel& model, const RoutePlan& plan, double& cost, const Penalties* penalties) {
    if (penalties != nullptr) {
        if (model.very_large()) return price_breakable<true, false>(model, plan, *penalties, cost);
        return model.all_dense() ? price_breakable<false, true>(model, plan, *penalties, cost)
                                 : price_breakable<false, false>(model, plan, *penalties, cost);
    }
    if (model.very_large()) return time_kept_plan<true, false>(model, plan, cost);
    return model.all_dense() ? time_kept_plan<false, true>(model, plan, cost)
                             : time_kept_plan<false, false>(model, plan, cost);
}

bool time_plans(const StageSolution& s, const RoutePlan& a, const RoutePlan* b, std::vector<double>& costs) {
    const StageModel& model = s.model();
    std::vector<const Route*>& view = model.plan_view();
    view.resize(s.routes().size());
    for (size_t r = 0; r < view.size(); ++r) view[r] = &s.route(r).nodes;
    build_plan(a, model.candidate(0));
    view[a.base->agent] = &model.candidate(0);
    if (b != nullptr) {
        build_plan(*b, model.candidate(1));
        view[b->base->agent] = &model.candidate(1);
    }
    return model.plans().evaluate(view, costs);
}

bool time_whole_plan(const StageSolution& s, const RoutePlan& plan, double& cost) {
    const StageModel& model = s.model();
    std::vector<double>& costs = model.plan_costs();
    if (!time_plans(s, plan, nullptr, costs)) return false;
    cost = costs[plan.base->agent];
    return true;
}

void build_plan(const RoutePlan& plan, Route& out) {
    const StageRoute& base = *plan.base;
    out.assign(base.nodes.begin(), base.nodes.begin() + static_cast<std::ptrdiff_t>(plan.keep) + 1);
    for (size_t k = 0; k < plan.run_count; ++k) {
        const Run& run = plan.runs[k];
        const size_t count = run.length();
        for (size_t i = 0; i < count; ++i) out.push_back(run.at(i));
    }
    out.push_back(base.nodes.back());
}

}  // namespace dulmar
