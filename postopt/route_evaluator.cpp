#include "postopt/route_evaluator.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace dulmar {

namespace {

constexpr size_t kNone = static_cast<size_t>(-1);

struct PlainView {
    const Route& r;
    size_t size() const { return r.size(); }
    int64_t operator[](size_t i) const { return r[i]; }
};

struct RemovedView {
    const Route& r;
    size_t pos;
    size_t size() const { return r.size() - 1; }
    int64_t operator[](size_t i) const { return i < pos ? r[i] : r[i + 1]; }
};

struct InsertedView {
    const Route& r;
    size_t pos;
    int64_t node;
    size_t size() const { return r.size() + 1; }
    int64_t operator[](size_t i) const { return i < pos ? r[i] : (i == pos ? node : r[i - 1]); }
};

struct ReversedView {
    const Route& r;
    size_t first;
    size_t last;
    size_t size() const { return r.size(); }
    int64_t operator[](size_t i) const { return (i < first || i > last) ? r[i] : r[first + last - i]; }
};

bool is_node(int64_t v, size_t node) { return v >= 0 && static_cast<size_t>(v) == node; }

// Positions before the returned one are the same in base and candidate and are
// the last position of neither, so every rule judged them alike.
size_t shared_head(size_t first_change, size_t base_size, size_t candidate_size) {
    size_t head = first_change;
    if (base_size > 0) head = std::min(head, base_size - 1);
    if (candidate_size > 0) head = std::min(head, candidate_size - 1);
    return head;
}

}  // namespace

void RouteEvaluator::set_start_nodes(const std::vector<size_t>& start_nodes) {
    start_nodes_ = start_nodes;
    start_node_set_ = std::unordered_set<size_t>(start_nodes.begin(), start_nodes.end());
}

void RouteEvaluator::set_end_nodes(const std::vector<size_t>& end_nodes) {
    end_nodes_ = end_nodes;
    end_node_set_ = std::unordered_set<size_t>(end_nodes.begin(), end_nodes.end());
}

void RouteEvaluator::set_time_windows(const TimeWindowMap& time_windows) {
    time_windows_ = time_windows;
    has_time_windows_ = !time_windows_.empty();
}

void RouteEvaluator::prepare(const PlannerGraph* graph, const std::vector<NodeRecord>& nodes,
                             const std::vector<AgentRecord>& agents) {
    // Rebuilt in place unless a copy of this evaluator shares the table.
    if (built_ == nullptr || built_.use_count() > (costs_ == built_ ? 2 : 1)) built_ = std::make_shared<CostTable>();
    built_->build(graph);
    prepare(built_, nodes, agents);
}

void RouteEvaluator::prepare(std::shared_ptr<const CostTable> costs, const std::vector<NodeRecord>& nodes,
                             const std::vector<AgentRecord>& agents) {
    if (costs != built_) built_.reset();
    costs_ = costs ? std::move(costs) : std::make_shared<const CostTable>();
    nodes_ = nodes;
    agents_ = agents;
    const size_t n = nodes_.size();
    const size_t m = agents_.size();
    const bool has_start = !start_nodes_.empty();
    const bool has_end = !end_nodes_.empty();

    has_window_.assign(n, 0);
    window_.assign(n, TimeWindow{});
    service_.resize(n);
    demand_.resize(n);
    for (size_t v = 0; v < n; ++v) {
        service_[v] = nodes_[v].service;
        demand_[v] = nodes_[v].demand;
    }
    bool windows_monotone = true;
    for (const auto& [v, w] : time_windows_) {
        if (v >= n) continue;
        has_window_[v] = 1;
        window_[v] = w;
        if (std::isnan(w.start)) windows_monotone = false;
    }

    std::vector<char> is_start(n, 0), is_end(n, 0);
    for (size_t s : start_nodes_)
        if (s < n) is_start[s] = 1;
    for (size_t e : end_nodes_)
        if (e < n) is_end[e] = 1;

    agent_info_.assign(m, AgentInfo{});
    flags_.assign(m * n, 0);
    for (size_t a = 0; a < m; ++a) {
        AgentInfo& info = agent_info_[a];
        info.known = (!has_start || a < start_nodes_.size()) && (!has_end || a < end_nodes_.size());
        info.type = agents_[a].type;
        info.time_limit = agents_[a].time_limit;
        info.capacity = enforce_capacity_ && agents_[a].capacity_limit > 0 ? agents_[a].capacity_limit : 0.0;
        info.start = has_start && a < start_nodes_.size() ? start_nodes_[a] : kNone;
        info.end = has_end && a < end_nodes_.size() ? end_nodes_[a] : kNone;
        for (size_t v = 0; v < n; ++v) {
            const auto& allowed = nodes_[v].allowed_types;
            unsigned char f = 0;
            if (std::find(allowed.begin(), allowed.end(), info.type) != allowed.end()) f |= kServes;
            if ((has_start && is_start[v] && v != info.start) || (has_end && is_end[v] && v != info.end))
                f |= kOtherDepot;
            if (has_start && v == info.start) f |= kOwnStart;
            if (has_end && v == info.end) f |= kOwnEnd;
            flags_[a * n + v] = f;
        }
    }

    // With no negative (or NaN) arc cost the running cost only grows, which is
    // what makes giving up on a candidate past its bound safe.
    monotone_ = windows_monotone && std::all_of(service_.begin(), service_.end(), [](double s) { return s >= 0.0; });
    std::vector<size_t> types;
    for (const AgentRecord& ag : agents_)
        if (ag.type < costs_->dim() && std::find(types.begin(), types.end(), ag.type) == types.end())
            types.push_back(ag.type);
    const size_t table = costs_->size();
    for (size_t t : types)
        for (size_t u = 0; u < table && monotone_; ++u)
            for (size_t v = 0; v < table; ++v)
                if (!(costs_->cost_or(u, v, t, 0.0) >= 0.0)) {
                    monotone_ = false;
                    break;
                }
}

bool RouteEvaluator::type_allows(size_t t, int64_t node) const {
    if (node < 0 || static_cast<size_t>(node) >= nodes_.size()) return false;
    const auto& allowed = nodes_[static_cast<size_t>(node)].allowed_types;
    return std::find(allowed.begin(), allowed.end(), t) != allowed.end();
}

bool RouteEvaluator::can_serve(size_t agent, int64_t node) const {
    if (agent >= agents_.size() || node < 0 || static_cast<size_t>(node) >= nodes_.size()) return false;
    const unsigned char f = flags_[agent * nodes_.size() + static_cast<size_t>(node)];
    return (f & kServes) && !(f & kOtherDepot);
}

template <class View>
bool RouteEvaluator::ends_ok(const View& r, const AgentInfo& info) const {
    if (!info.known) return false;
    const int64_t first = r[0];
    const int64_t last = r[r.size() - 1];
    if (start_nodes_.empty()) return !end_nodes_.empty() && is_node(last, info.end);
    if (!is_node(first, info.start)) return false;
    if (end_nodes_.empty()) return is_node(last, info.start) && !return_to_end_;
    return is_node(last, info.end) || (is_node(last, info.start) && !return_to_end_);
}

template <class View>
bool RouteEvaluator::step(const View& r, const AgentInfo& info, size_t a, size_t i, double& c, double& load) const {
    const int64_t v = r[i];
    if (v < 0 || static_cast<size_t>(v) >= nodes_.size()) return false;
    const size_t node = static_cast<size_t>(v);
    const unsigned char f = flags_[a * nodes_.size() + node];
    const bool at_end = i == 0 || i + 1 == r.size();
    // Position 0 is where the agent stands at time 0, not a visit: neither the
    // node's assignment nor its window holds there. A window on the start
    // node holds only where the route reaches the node again as its end.
    const bool departure = i == 0;
    if ((f & kOwnStart) && !at_end) return false;
    if (!departure && !(f & kServes)) return false;
    // The ends are settled by ends_ok; another agent's depot is barred only inside.
    if ((f & kOtherDepot) && !at_end) return false;
    if (i > 0) c += hop(info, f, static_cast<size_t>(r[i - 1]), node);
    if (!departure && !visit_node(has_time_windows_ && has_window_[node] ? &window_[node] : nullptr, service_[node], c))
        return false;
    if (info.capacity > 0) {
        load += demand_[node];
        if (!within_capacity(load, info.capacity)) return false;
    }
    if (i > 0 && info.time_limit > 0 && c > info.time_limit) return false;
    return true;
}

template <class View>
RouteEvaluation RouteEvaluator::walk(const View& r, size_t a, size_t from, double c, double load,
                                     double bound) const {
    const size_t n = r.size();
    if (n == 0) return {true, 0.0};
    if (a >= agent_info_.size()) return {false, 0.0};
    const AgentInfo& info = agent_info_[a];
    if (!ends_ok(r, info)) return {false, 0.0};
    for (size_t i = from; i < n; ++i) {
        if (!step(r, info, a, i, c, load)) return {false, 0.0};
        if (monotone_ && c > bound) return {false, 0.0};
    }
    return {true, c};
}

template <class View>
RouteEvaluation RouteEvaluator::resume(const View& r, const RouteScan& base, size_t from, double bound) const {
    if (from > base.fail_at) return r.size() == 0 ? RouteEvaluation{true, 0.0} : RouteEvaluation{false, 0.0};
    const bool head = from > 0;
    return walk(r, base.agent, from, head ? base.prefix[from - 1] : 0.0, head ? base.prefix_load[from - 1] : 0.0,
                bound);
}

RouteEvaluation RouteEvaluator::evaluate(const Route& route, size_t agent) const {
    return walk(PlainView{route}, agent, 0, 0.0, 0.0, kNoBound);
}

std::vector<Stop> RouteEvaluator::schedule(const Route& route, size_t agent) const {
    std::vector<Stop> stops;
    const RouteEvaluation whole = evaluate(route, agent);
    if (!whole.valid || route.empty()) return stops;
    const PlainView r{route};
    const AgentInfo& info = agent_info_[agent];
    double c = 0.0;
    double load = 0.0;
    double carried = 0.0;
    stops.reserve(route.size());
    for (size_t i = 0; i < route.size(); ++i) {
        const size_t node = static_cast<size_t>(route[i]);
        Stop stop;
        stop.node = route[i];
        stop.arrival = i == 0 ? 0.0 : c + hop(info, flags_[agent * nodes_.size() + node], static_cast<size_t>(route[i - 1]), node);
        // step() repeats the arrival's arithmetic, so the times agree with the cost to the bit.
        step(r, info, agent, i, c, load);
        stop.departure = c;
        const TimeWindow* w = i == 0 ? nullptr : window(node);
        stop.start = w != nullptr ? std::max(w->start, stop.arrival) : stop.arrival;
        stop.wait = stop.start - stop.arrival;
        carried += demand_[node];
        stop.load = carried;
        stops.push_back(stop);
    }
    return stops;
}

void RouteEvaluator::scan(const Route& route, size_t agent, RouteScan& out) const {
    out.route = &route;
    out.agent = agent;
    out.prefix.clear();
    out.prefix_load.clear();
    out.fail_at = 0;
    out.whole = {route.empty(), 0.0};
    if (route.empty() || agent >= agent_info_.size()) return;
    const PlainView r{route};
    const AgentInfo& info = agent_info_[agent];
    double c = 0.0;
    double load = 0.0;
    for (size_t i = 0; i < route.size(); ++i) {
        if (!step(r, info, agent, i, c, load)) break;
        out.prefix.push_back(c);
        out.prefix_load.push_back(load);
        out.fail_at = i + 1;
    }
    if (out.fail_at == route.size() && ends_ok(r, info)) out.whole = {true, c};
}

RouteEvaluation RouteEvaluator::evaluate_removed(const RouteScan& base, size_t pos, double bound) const {
    const Route& r = *base.route;
    if (pos >= r.size()) return {false, 0.0};
    const RemovedView view{r, pos};
    return resume(view, base, shared_head(pos, r.size(), view.size()), bound);
}

RouteEvaluation RouteEvaluator::evaluate_inserted(const RouteScan& base, size_t pos, int64_t node,
                                                  double bound) const {
    const Route& r = *base.route;
    if (pos > r.size()) return {false, 0.0};
    const InsertedView view{r, pos, node};
    return resume(view, base, shared_head(pos, r.size(), view.size()), bound);
}

RouteEvaluation RouteEvaluator::evaluate_reversed(const RouteScan& base, size_t first, size_t last,
                                                  double bound) const {
    const Route& r = *base.route;
    if (first > last || last >= r.size()) return {false, 0.0};
    const ReversedView view{r, first, last};
    return resume(view, base, shared_head(first, r.size(), view.size()), bound);
}

void RouteEvaluator::two_opt(Route& route, size_t agent, double& cost) const {
    const size_t n = route.size();
    if (n <= 3) return;
    RouteScan base;
    scan(route, agent, base);
    bool improved = true;
    while (improved) {
        improved = false;
        for (size_t a = 1; a + 3 <= n && !improved; ++a) {
            for (size_t b = a + 1; b + 2 <= n; ++b) {
                // A reversal costing more than the route cannot be adopted.
                const RouteEvaluation cand = evaluate_reversed(base, a, b, cost);
                if (cand.valid && cost > cand.cost + kEpsilon) {
                    std::reverse(route.begin() + static_cast<std::ptrdiff_t>(a),
                                 route.begin() + static_cast<std::ptrdiff_t>(b) + 1);
                    cost = cand.cost;
                    scan(route, agent, base);
                    improved = true;
                    break;
                }
            }
        }
    }
}

}  // namespace dulmar
