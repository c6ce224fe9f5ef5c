#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "graph/sparse_graph.h"
#include "postopt_fixtures.h"
#include "rules/route_evaluator.h"

namespace dulmar {
namespace {

using testing_support::line_graph;
using testing_support::open_nodes;

struct Settings {
    std::vector<size_t> starts, ends;
    bool return_to_end = true;
    TimeWindowMap windows;
    bool enforce_capacity = false;
};

RouteEvaluator make(const Settings& s, const PlannerGraph* g, const std::vector<NodeRecord>& nodes,
                    const std::vector<AgentRecord>& agents = std::vector<AgentRecord>(2)) {
    RouteEvaluator ev;
    ev.set_start_nodes(s.starts);
    ev.set_end_nodes(s.ends);
    ev.set_return_to_end(s.return_to_end);
    ev.set_time_windows(s.windows);
    ev.set_enforce_capacity(s.enforce_capacity);
    ev.prepare(g, nodes, agents);
    return ev;
}

TEST(RouteEvaluator, EndsFollowTheDepotLists) {
    const SparseGraph g = line_graph({0, 1, 2, 3, 4, 5});
    const auto nodes = open_nodes(6);
    struct Case {
        Settings s;
        Route route;
        bool valid;
    };
    const std::vector<Case> cases = {
        {{{}, {}, true, {}}, {0, 2, 1}, false},      {{{}, {}, true, {}}, {}, true},
        {{{}, {1, 3}, true, {}}, {4, 2, 1}, true},   {{{}, {1, 3}, true, {}}, {4, 2, 5}, false},
        {{{0, 3}, {}, false, {}}, {0, 2, 0}, true},  {{{0, 3}, {}, false, {}}, {0, 2, 1}, false},
        {{{0, 3}, {}, true, {}}, {0, 2, 0}, false},  {{{0, 3}, {1, 4}, true, {}}, {0, 2, 1}, true},
        {{{0, 3}, {1, 4}, true, {}}, {0, 2, 0}, false}, {{{0, 3}, {1, 4}, true, {}}, {5, 2, 1}, false},
        {{{0, 3}, {1, 4}, false, {}}, {0, 2, 0}, true}, {{{0, 3}, {1, 4}, false, {}}, {0, 2, 5}, false},
    };
    for (size_t k = 0; k < cases.size(); ++k)
        EXPECT_EQ(make(cases[k].s, &g, nodes).evaluate(cases[k].route, 0).valid, cases[k].valid) << "case " << k;
    // A start list too short for the agent.
    EXPECT_FALSE(make({{0}, {1, 4}, true, {}}, &g, nodes).evaluate({3, 2, 4}, 1).valid);
}

TEST(RouteEvaluator, DepotAndTypeRulesInsideTheRoute) {
    const SparseGraph g = line_graph({0, 1, 2, 3, 4, 5});
    auto nodes = open_nodes(6);
    const RouteEvaluator ev = make({{0, 3}, {1, 4}, false, {}}, &g, nodes);
    EXPECT_FALSE(ev.evaluate({0, 2, 0, 1}, 0).valid);  // own start inside
    EXPECT_FALSE(ev.evaluate({0, 3, 2, 1}, 0).valid);  // another agent's start inside
    EXPECT_FALSE(ev.evaluate({0, 2, 4, 1}, 0).valid);  // another agent's end inside
    EXPECT_TRUE(ev.evaluate({0, 2, 5, 1}, 0).valid);
    // Insertion candidates are always interior, so can_serve keeps both depot rules.
    EXPECT_FALSE(ev.can_serve(0, 3) || ev.can_serve(0, 4) || ev.can_serve(0, 6));
    EXPECT_TRUE(ev.can_serve(1, 3) && ev.can_serve(0, 2));

    // An own end that is another agent's start, or an own start that is another's end, is fine.
    EXPECT_TRUE(make({{0, 3}, {3, 4}, true, {}}, &g, nodes).evaluate({0, 2, 3}, 0).valid);
    EXPECT_TRUE(make({{0, 3}, {1, 0}, true, {}}, &g, nodes).evaluate({0, 2, 1}, 0).valid);
    EXPECT_TRUE(make({{0, 3}, {1, 0}, true, {}}, &g, nodes).evaluate({3, 2, 0}, 1).valid);

    std::vector<AgentRecord> agents(2);
    agents[1].type = 1;
    nodes[2].allowed_types = {1};
    const RouteEvaluator typed = make({{0, 0}, {1, 1}, true, {}}, &g, nodes, agents);
    EXPECT_FALSE(typed.evaluate({0, 2, 1}, 0).valid);
    EXPECT_TRUE(typed.evaluate({0, 2, 1}, 1).valid);
    nodes[0].allowed_types = {0};  // the start is where the agent stands, not a visit
    EXPECT_TRUE(make({{0, 0}, {1, 1}, true, {}}, &g, nodes, agents).evaluate({0, 2, 1}, 1).valid);
    nodes[1].allowed_types = {0};  // the end needs the type
    EXPECT_FALSE(make({{0, 0}, {1, 1}, true, {}}, &g, nodes, agents).evaluate({0, 2, 1}, 1).valid);
}

TEST(RouteEvaluator, TimeWindowsAndTimeLimit) {
    const SparseGraph g = line_graph({0, 5, 25, 20, 8});
    const auto nodes = open_nodes(5);
    Settings s{{0}, {0}, true, {{1, {10, 20}}, {2, {10, 20}}, {3, {10, 20}}}};
    const RouteEvaluator ev = make(s, &g, nodes);
    EXPECT_EQ(ev.evaluate({0, 1, 0}, 0).cost, 15.0);  // arrives at 5, waits until 10
    EXPECT_FALSE(ev.evaluate({0, 2, 0}, 0).valid);    // arrives at 25
    EXPECT_TRUE(ev.evaluate({0, 3, 0}, 0).valid);     // arrives as it closes
    // A window on the start holds where the route comes back, not at departure.
    s.windows = {{0, {3, 100}}};
    EXPECT_EQ(make(s, &g, nodes).evaluate({0, 1, 0}, 0).cost, 10.0);
    s.windows = {{0, {12, 100}}};
    EXPECT_EQ(make(s, &g, nodes).evaluate({0, 1, 0}, 0).cost, 12.0);
    s.windows = {{0, {-5, -1}}};
    EXPECT_FALSE(make(s, &g, nodes).evaluate({0, 1, 0}, 0).valid);

    std::vector<AgentRecord> agents(1);
    agents[0].time_limit = 10;
    s.windows.clear();
    EXPECT_TRUE(make(s, &g, nodes, agents).evaluate({0, 1, 0}, 0).valid);  // exactly 10
    EXPECT_FALSE(make(s, &g, nodes, agents).evaluate({0, 4, 0}, 0).valid);
    agents[0].time_limit = 0;
    EXPECT_TRUE(make(s, &g, nodes, agents).evaluate({0, 4, 0}, 0).valid);
    agents[0].time_limit = 5;
    s.windows = {{0, {7, 100}}};
    s.return_to_end = false;
    EXPECT_EQ(make(s, &g, nodes, agents).evaluate({0}, 0).cost, 0.0);  // never reached again
    EXPECT_FALSE(make(s, &g, nodes, agents).evaluate({0, 0}, 0).valid);  // waits until 7 > 5 at its end
}

TEST(RouteEvaluator, ArcCosts) {
    const SparseGraph g = line_graph({0, 10, 3});
    const auto nodes = open_nodes(3);
    const RouteEvaluator closed = make({{0}, {1}, true, {}}, &g, nodes);
    EXPECT_EQ(closed.evaluate({0, 2, 1}, 0).cost, 10.0);
    EXPECT_EQ(closed.evaluate({0, 2, 2, 1}, 0).cost, 10.0);  // staying put is free
    // Open routes: legs into the agent's own end or start are free.
    const RouteEvaluator open = make({{0}, {1}, false, {}}, &g, nodes);
    EXPECT_EQ(open.evaluate({0, 2, 1}, 0).cost, 3.0);
    EXPECT_EQ(open.evaluate({0, 2, 0}, 0).cost, 3.0);
    const RouteEvaluation no_graph = make({{0}, {1}, true, {}}, nullptr, nodes).evaluate({0, 2, 1}, 0);
    EXPECT_TRUE(no_graph.valid);
    EXPECT_EQ(no_graph.cost, 0.0);

    // A missing arc, or a type beyond the arc's cost vector, costs 0.
    SparseGraph sparse;
    sparse.AddArc(0, 2, {4.0});
    sparse.AddArc(2, 1, {6.0});
    std::vector<AgentRecord> typed(1);
    typed[0].type = 1;
    EXPECT_EQ(make({{0}, {1}, true, {}}, &sparse, nodes).evaluate({0, 2, 1}, 0).cost, 10.0);
    EXPECT_EQ(make({{0}, {1}, true, {}}, &sparse, nodes).evaluate({0, 1}, 0).cost, 0.0);
    EXPECT_EQ(make({{0}, {1}, true, {}}, &sparse, nodes, typed).evaluate({0, 2, 1}, 0).cost, 0.0);
}

uint64_t bits(double d) {
    uint64_t b;
    std::memcpy(&b, &d, sizeof b);
    return b;
}

// In-place candidates must match a full evaluation of the built route bit for
// bit; a bounded one may only give up on routes that cost more than the bound.
TEST(RouteEvaluator, InPlaceCandidatesMatchFullEvaluation) {
    std::mt19937 rng(7177);
    auto pick = [&](size_t lo, size_t hi) { return std::uniform_int_distribution<size_t>(lo, hi)(rng); };
    auto real = [&](double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); };
    auto chance = [&](double p) { return std::bernoulli_distribution(p)(rng); };
    size_t valid = 0, gave_up = 0;
    auto check = [&](const RouteEvaluator& ev, const Route& built, size_t agent, RouteEvaluation in_place,
                     RouteEvaluation bounded, double bound) {
        const RouteEvaluation full = ev.evaluate(built, agent);
        ASSERT_EQ(in_place.valid, full.valid);
        ASSERT_EQ(full.valid ? bits(in_place.cost) : 0, full.valid ? bits(full.cost) : 0);
        ASSERT_TRUE(bounded.valid ? full.valid && bits(bounded.cost) == bits(full.cost)
                                  : !full.valid || full.cost > bound);
        valid += full.valid;
        gave_up += full.valid && !bounded.valid;
    };

    for (int trial = 0; trial < 250; ++trial) {
        const size_t n = pick(3, 9), m = pick(1, 3);
        const double lowest = chance(0.15) ? -3.0 : 0.0;
        const bool integral = chance(0.5);
        std::vector<size_t> from, to;
        std::vector<CostVector> cost;
        for (size_t u = 0; u < n; ++u)
            for (size_t v = 0; v < n; ++v) {
                if (u == v || chance(0.1)) continue;
                CostVector c(2);
                for (auto& x : c) x = integral ? std::round(real(lowest, 20)) : real(lowest, 20);
                from.push_back(u), to.push_back(v), cost.push_back(c);
            }
        SparseGraph g;
        g.CreateFromArcs(from, to, cost);
        std::vector<NodeRecord> nodes(n);
        const bool loaded = chance(0.5);
        for (auto& node : nodes) {
            for (size_t t = 0; t < 2; ++t)
                if (chance(0.9)) node.allowed_types.push_back(t);
            if (loaded) {
                node.service = chance(0.5) ? real(0, 6) : 0.0;
                node.demand = real(0, 5);
            }
        }
        std::vector<AgentRecord> agents(m);
        Settings s;
        s.enforce_capacity = loaded && chance(0.8);
        for (auto& a : agents) {
            a.type = pick(0, 1);
            a.capacity_limit = chance(0.7) ? real(3, 15) : 0.0;
            a.time_limit = chance(0.5) ? 0.0 : real(20, 90);
            s.starts.push_back(pick(0, n - 1));
            s.ends.push_back(pick(0, n - 1));
        }
        if (chance(0.1)) s.starts.clear();
        if (chance(0.1)) s.ends.clear();
        s.return_to_end = chance(0.5);
        for (size_t v = 0; v < n; ++v)
            if (chance(0.3)) {
                const double open = real(0, 30);
                s.windows[v] = {open, open + real(0, 50)};
            }
        const RouteEvaluator ev = make(s, &g, nodes, agents);

        for (int r = 0; r < 6; ++r) {
            const size_t agent = pick(0, m - 1), len = pick(1, 8);
            Route route(len);
            for (auto& v : route) v = static_cast<int64_t>(pick(0, n - 1));
            if (!s.starts.empty() && chance(0.8)) route.front() = static_cast<int64_t>(s.starts[agent]);
            if (!s.ends.empty() && chance(0.8)) route.back() = static_cast<int64_t>(s.ends[agent]);
            RouteScan scan;
            ev.scan(route, agent, scan);
            const RouteEvaluation whole = ev.evaluate(route, agent);
            ASSERT_EQ(scan.whole.valid, whole.valid);
            ASSERT_EQ(bits(scan.whole.cost), bits(whole.cost));
            // The timetable retells the evaluation: hops, waits and service add up to the cost.
            const std::vector<Stop> stops = ev.schedule(route, agent);
            ASSERT_EQ(stops.size(), whole.valid ? route.size() : 0u);
            for (size_t i = 1; i < stops.size(); ++i) {
                const Stop& stop = stops[i];
                const auto node = static_cast<size_t>(route[i]);
                ASSERT_EQ(stop.node, route[i]);
                ASSERT_EQ(bits(stop.arrival), bits(stops[i - 1].departure + ev.arc(agent, route[i - 1], node)));
                const TimeWindow* w = ev.window(node);
                ASSERT_EQ(stop.start, w ? std::max(w->start, stop.arrival) : stop.arrival);
                ASSERT_EQ(stop.wait, stop.start - stop.arrival);
                ASSERT_NEAR(stop.departure, stop.start + nodes[node].service, 1e-9);
                ASSERT_NEAR(stop.load, stops[i - 1].load + nodes[node].demand, 1e-9);
            }
            if (!stops.empty()) {
                ASSERT_EQ(bits(stops.back().departure), bits(whole.cost));
            }

            for (size_t p = 0; p < len; ++p) {
                Route built = route;
                built.erase(built.begin() + static_cast<std::ptrdiff_t>(p));
                const double bound = real(0, 60);
                check(ev, built, agent, ev.evaluate_removed(scan, p), ev.evaluate_removed(scan, p, bound), bound);
            }
            for (size_t p = 0; p <= len; ++p) {
                const int64_t v = static_cast<int64_t>(pick(0, n));  // n itself is no node
                Route built = route;
                built.insert(built.begin() + static_cast<std::ptrdiff_t>(p), v);
                const double bound = real(0, 60);
                check(ev, built, agent, ev.evaluate_inserted(scan, p, v), ev.evaluate_inserted(scan, p, v, bound),
                      bound);
            }
            for (size_t a = 0; a < len; ++a)
                for (size_t b = a; b < len; ++b) {
                    Route built = route;
                    std::reverse(built.begin() + static_cast<std::ptrdiff_t>(a),
                                 built.begin() + static_cast<std::ptrdiff_t>(b) + 1);
                    const double bound = real(0, 60);
                    check(ev, built, agent, ev.evaluate_reversed(scan, a, b),
                          ev.evaluate_reversed(scan, a, b, bound), bound);
                }
        }
    }
    // Both valid candidates and early give-ups must have been exercised.
    EXPECT_GT(valid, 500u);
    EXPECT_GT(gave_up, 50u);
}

}  // namespace
}  // namespace dulmar
