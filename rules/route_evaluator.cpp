#include "rules/route_evaluator.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace dulmar {

namespace {

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

void RouteEvaluator::attach(std::shared_ptr<const PreparedInstance> instance) {
    if (!instance) return;
    instance_ = std::move(instance);
    attached_ = true;
}

void RouteEvaluator::prepare(const PlannerGraph* graph, const std::vector<NodeRecord>& nodes,
                             const std::vector<AgentRecord>& agents) {
    if (attached_) return;
    instance_ = PreparedInstance::from_graph(graph, nodes, agents, settings_);
}

template <class View>
bool RouteEvaluator::ends_ok(const View& r, size_t a) const {
    const PreparedInstance& p = *instance_;
    if (!p.known(a)) return false;
    const int64_t first = r[0];
    const int64_t last = r[r.size() - 1];
    const size_t start = p.start_of(a);
    const size_t end = p.end_of(a);
    if (!p.has_start_nodes()) return p.has_end_nodes() && is_node(last, end);
    if (!is_node(first, start)) return false;
    if (!p.has_end_nodes()) return is_node(last, start) && !p.return_to_end();
    return is_node(last, end) || (is_node(last, start) && !p.return_to_end());
}

template <class View>
bool RouteEvaluator::step(const View& r, size_t a, size_t i, double& c, double& load, double ready) const {
    const PreparedInstance& p = *instance_;
    const int64_t v = r[i];
    if (v < 0 || static_cast<size_t>(v) >= p.node_count()) return false;
    const size_t node = static_cast<size_t>(v);
    const unsigned char f = p.flags(a, node);
    const bool at_end = i == 0 || i + 1 == r.size();
    // Position 0 is where the agent stands at time 0, not a visit: neither the
    // node's assignment nor its window holds there. A window on the start
    // node holds only where the route reaches the node again as its end.
    const bool departure = i == 0;
    if ((f & PreparedInstance::kOwnStart) && !at_end) return false;
    if (!departure && !(f & PreparedInstance::kServes)) return false;
    // The ends are settled by ends_ok; another agent's depot is barred only inside.
    if ((f & PreparedInstance::kOtherDepot) && !at_end) return false;
    if (i > 0) c += p.hop_with(a, f, static_cast<size_t>(r[i - 1]), node);
    if (!departure) {
        // Precedence holds service back first; the window then judges the later time.
        if (ready > c) c = ready;
        if (!p.visit(node, c)) return false;
    }
    const double capacity = p.capacity(a);
    if (capacity > 0) {
        load += p.demand(node);
        if (!within_capacity(load, capacity)) return false;
    }
    if (i > 0 && !p.within_route_limit(a, c)) return false;
    return true;
}

template <class View>
RouteEvaluation RouteEvaluator::walk(const View& r, size_t a, size_t from, double c, double load,
                                     double bound) const {
    const size_t n = r.size();
    if (n == 0) return {true, 0.0};
    if (a >= instance_->agent_count()) return {false, 0.0};
    if (!ends_ok(r, a)) return {false, 0.0};
    const bool monotone = instance_->monotone();
    for (size_t i = from; i < n; ++i) {
        if (!step(r, a, i, c, load)) return {false, 0.0};
        if (monotone && c > bound) return {false, 0.0};
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

bool RouteEvaluator::ends_ok(const Route& route, size_t agent) const {
    return route.empty() || (agent < instance_->agent_count() && ends_ok(PlainView{route}, agent));
}

bool RouteEvaluator::advance(const Route& route, size_t agent, size_t i, double ready, double& c,
                             double& load) const {
    return step(PlainView{route}, agent, i, c, load, ready);
}

RouteEvaluation RouteEvaluator::evaluate(const Route& route, size_t agent) const {
    return walk(PlainView{route}, agent, 0, 0.0, 0.0, kNoBound);
}

std::vector<Stop> RouteEvaluator::schedule(const Route& route, size_t agent) const {
    std::vector<Stop> stops;
    const RouteEvaluation whole = evaluate(route, agent);
    if (!whole.valid || route.empty()) return stops;
    const PreparedInstance& p = *instance_;
    const PlainView r{route};
    double c = 0.0;
    double load = 0.0;
    double carried = 0.0;
    stops.reserve(route.size());
    for (size_t i = 0; i < route.size(); ++i) {
        const size_t node = static_cast<size_t>(route[i]);
        Stop stop;
        stop.node = route[i];
        stop.arrival = i == 0 ? 0.0 : c + p.hop(agent, static_cast<size_t>(route[i - 1]), node);
        // step() repeats the arrival's arithmetic, so the times agree with the cost to the bit.
        step(r, agent, i, c, load);
        stop.departure = c;
        const TimeWindow* w = i == 0 ? nullptr : p.window(node);
        stop.start = w != nullptr ? std::max(w->start, stop.arrival) : stop.arrival;
        stop.wait = stop.start - stop.arrival;
        carried += p.demand(node);
        stop.load = carried;
        stops.push_back(stop);
    }
    return stops;
}

RouteViolation RouteEvaluator::measure(const Route& route, size_t agent) const {
    RouteViolation out;
    if (route.empty()) return out;
    const PreparedInstance& p = *instance_;
    const PlainView r{route};
    if (agent >= p.agent_count() || !ends_ok(r, agent)) return RouteViolation{false};
    double load = 0.0;
    for (size_t i = 0; i < route.size(); ++i) {
        const int64_t v = route[i];
        if (v < 0 || static_cast<size_t>(v) >= p.node_count()) return RouteViolation{false};
        const size_t node = static_cast<size_t>(v);
        const unsigned char f = p.flags(agent, node);
        const bool at_end = i == 0 || i + 1 == route.size();
        if ((f & PreparedInstance::kOwnStart) && !at_end) return RouteViolation{false};
        if (i > 0 && !(f & PreparedInstance::kServes)) return RouteViolation{false};
        if ((f & PreparedInstance::kOtherDepot) && !at_end) return RouteViolation{false};
        load += p.demand(node);
        if (i == 0) continue;
        out.cost += p.hop_with(agent, f, static_cast<size_t>(route[i - 1]), node);
        visit_node_late(p.window(node), p.service(node), out.cost, out.late);
    }
    const double capacity = p.capacity(agent);
    if (capacity > 0 && load > capacity) out.over_capacity = load - capacity;
    const double limit = p.time_limit(agent);
    if (limit > 0 && out.cost > limit) out.over_limit = out.cost - limit;
    return out;
}

void RouteEvaluator::scan(const Route& route, size_t agent, RouteScan& out) const {
    out.route = &route;
    out.agent = agent;
    out.prefix.clear();
    out.prefix_load.clear();
    out.fail_at = 0;
    out.whole = {route.empty(), 0.0};
    if (route.empty() || agent >= instance_->agent_count()) return;
    const PlainView r{route};
    double c = 0.0;
    double load = 0.0;
    for (size_t i = 0; i < route.size(); ++i) {
        if (!step(r, agent, i, c, load)) break;
        out.prefix.push_back(c);
        out.prefix_load.push_back(load);
        out.fail_at = i + 1;
    }
    if (out.fail_at == route.size() && ends_ok(r, agent)) out.whole = {true, c};
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
