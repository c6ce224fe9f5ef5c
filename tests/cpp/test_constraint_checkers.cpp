#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <tuple>
#include <vector>

#include "graph/sparse_graph.h"
#include "plugins/constraint_checkers.h"

namespace dulmar {
namespace {

// Complete graph over n vertices, one cost type, every arc costing `fill`.
SparseGraph complete_graph(size_t n, double fill) {
    SparseGraph g;
    g.ChangeCostDim(1, 9999.0);
    for (size_t i = 0; i < n; ++i) g.AddVertex(i);
    for (size_t i = 0; i < n; ++i) {
        for (size_t j = 0; j < n; ++j) {
            if (i != j) g.AddArc(i, j, {fill});
        }
    }
    return g;
}

std::vector<NodeRecord> nodes_allowing(std::vector<std::vector<size_t>> types) {
    std::vector<NodeRecord> nodes(types.size());
    for (size_t i = 0; i < types.size(); ++i) nodes[i].allowed_types = types[i];
    return nodes;
}

std::vector<AgentRecord> agents_of_types(std::vector<size_t> types, double time_limit = 0) {
    std::vector<AgentRecord> agents(types.size());
    for (size_t i = 0; i < types.size(); ++i) agents[i] = {0, types[i], 0, time_limit};
    return agents;
}

SearchState child_state(int node_count, std::vector<size_t> at, std::vector<double> cost,
                        std::initializer_list<size_t> visited, std::vector<char> done = {}) {
    SearchState s;
    s.node_count = node_count;
    s.visited = VisitedSet::with_first_clear(static_cast<size_t>(node_count));
    for (size_t v : visited) s.visited.set(v);
    s.agent_node = std::move(at);
    s.agent_cost = std::move(cost);
    s.agent_done = done.empty() ? std::vector<char>(s.agent_node.size(), 0) : std::move(done);
    return s;
}

void expect_verdict(const TransitionVerdict& v, bool feasible, double arrival, bool has_arrival) {
    EXPECT_EQ(v.feasible, feasible);
    EXPECT_EQ(v.arrival_time, arrival);
    EXPECT_EQ(v.has_arrival_time, has_arrival);
}

TEST(AssignmentRule, ForbidsNodesWhoseListLacksTheAgentType) {
    const SparseGraph g = complete_graph(4, 1);
    const auto nodes = nodes_allowing({{0, 1}, {0}, {1}, {}});
    const auto agents = agents_of_types({0, 1, static_cast<size_t>(-1)});
    DefaultConstraintChecker plain;
    TimeLimitConstraintChecker limits;
    TimeWindowConstraintChecker windows;
    for (ConstraintCheckerPlugin* checker : std::vector<ConstraintCheckerPlugin*>{&plain, &limits, &windows}) {
        checker->initialize(&g, nodes, agents);
        EXPECT_FALSE(checker->forbids(0, 1));
        EXPECT_TRUE(checker->forbids(0, 2));
        EXPECT_FALSE(checker->forbids(1, 2));
        EXPECT_TRUE(checker->forbids(1, 1));
        EXPECT_TRUE(checker->forbids(0, 3));  // empty list
        EXPECT_TRUE(checker->forbids(2, 0));  // agent without a type
        EXPECT_TRUE(checker->forbids(0, 4));  // no node record
        EXPECT_TRUE(checker->forbids(3, 0));  // no agent record
    }
    const SearchState s = child_state(4, {0, 0, 0}, {0, 0, 0}, {0});
    expect_verdict(plain.check_transition(s, 0, 1), true, 0, false);
    EXPECT_TRUE(plain.check_state(s, 0));
}

TEST(DeadEndRule, LooksOnlyAtTypeZeroAgentsAndTheirExclusiveNodes) {
    const SparseGraph g = complete_graph(4, 1);
    const auto nodes = nodes_allowing({{0, 1}, {0}, {1}, {0, 1}});  // node 1 only type 0
    const auto agents = agents_of_types({0, 1, 0});
    DefaultConstraintChecker plain;
    TimeLimitConstraintChecker limits;
    TimeWindowConstraintChecker windows;
    for (ConstraintCheckerPlugin* checker : std::vector<ConstraintCheckerPlugin*>{&plain, &limits, &windows}) {
        checker->initialize(&g, nodes, agents);
        EXPECT_FALSE(checker->is_dead_end(child_state(4, {0, 0, 0}, {0, 0, 0}, {0}, {1, 1, 0})));
        EXPECT_TRUE(checker->is_dead_end(child_state(4, {0, 0, 0}, {0, 0, 0}, {0}, {1, 0, 1})));
        EXPECT_FALSE(checker->is_dead_end(child_state(4, {0, 0, 0}, {0, 0, 0}, {0, 1}, {1, 0, 1})));
    }
    // Only the graph's vertices are scanned: a type-0 node beyond them is ignored.
    const SparseGraph small = complete_graph(2, 1);
    plain.initialize(&small, nodes_allowing({{0, 1}, {0, 1}, {0}}), agents_of_types({0}));
    EXPECT_FALSE(plain.is_dead_end(child_state(3, {0}, {0}, {0, 1}, {1})));
}

TEST(TimeLimitRule, RejectsOnlyCostsAboveAPositiveLimit) {
    const SparseGraph g = complete_graph(2, 1);
    auto agents = agents_of_types({0, 0, 0});
    agents[1].time_limit = 10;
    agents[2].time_limit = -1;
    TimeLimitConstraintChecker checker;
    checker.initialize(&g, nodes_allowing({{0}, {0}}), agents);

    const SearchState s = child_state(2, {0, 0, 0}, {1e9, 10, 1e9}, {});
    EXPECT_TRUE(checker.check_state(s, 0));
    EXPECT_TRUE(checker.check_state(s, 1));
    EXPECT_TRUE(checker.check_state(s, 2));
    EXPECT_FALSE(checker.check_state(child_state(2, {0, 0, 0}, {0, 10.5, 0}, {}), 1));
    expect_verdict(checker.check_transition(s, 1, 1), true, 0, false);
    EXPECT_THROW(checker.check_state(s, 3), std::out_of_range);
}

// Two nodes, nothing left unvisited after the move 0 -> 1, so only node 1's window matters.
TEST(TimeWindowRule, WaitsForTheWindowAndRejectsLateArrivals) {
    const SparseGraph g = complete_graph(2, 3);
    TimeWindowConstraintChecker checker;
    checker.initialize(&g, nodes_allowing({{0}, {0}}), agents_of_types({0}));
    checker.set_time_windows({{1, {5, 8}}});
    expect_verdict(checker.check_transition(child_state(2, {0}, {3}, {0, 1}), 0, 1), true, 5, true);
    expect_verdict(checker.check_transition(child_state(2, {0}, {8}, {0, 1}), 0, 1), true, 0, false);
    expect_verdict(checker.check_transition(child_state(2, {0}, {8.5}, {0, 1}), 0, 1), false, 0, false);
    EXPECT_TRUE(checker.check_state(child_state(2, {0}, {8.5}, {0, 1}), 0));
    EXPECT_THROW(checker.check_transition(child_state(2, {0}, {3}, {0, 1}), 1, 1), std::out_of_range);

    // Windows set before initialize still count, also beyond the node table (vertex 2).
    const SparseGraph g3 = complete_graph(3, 3);
    TimeWindowConstraintChecker early;
    early.set_time_windows({{1, {5, 8}}, {2, {0, 1}}});
    early.initialize(&g3, nodes_allowing({{0}, {0}}), agents_of_types({0}));
    expect_verdict(early.check_transition(child_state(3, {0}, {3}, {0, 1, 2}), 0, 1), true, 5, true);
    expect_verdict(early.check_transition(child_state(3, {0}, {3}, {0, 1, 2}), 0, 2), false, 0, false);
    early.set_time_windows({});
    expect_verdict(early.check_transition(child_state(3, {0}, {3}, {0, 1, 2}), 0, 1), true, 0, false);
}

TEST(TimeWindowHelpers, DepotMovesAreFreeAndOtherAgentsDepotsAreNotAdmitted) {
    SparseGraph g;
    g.ChangeCostDim(2, 9999.0);
    for (size_t i = 0; i < 5; ++i) {
        for (size_t j = 0; j < 5; ++j) {
            if (i != j) g.AddArc(i, j, {10.0 * i + j, 100.0 + 10.0 * i + j});
        }
    }
    TimeWindowConstraintChecker checker;
    EXPECT_EQ(checker.cost_for(0, 2, 3), 0.0);  // no graph yet
    // Node 4 only type 1 may visit.
    checker.initialize(&g, nodes_allowing({{0, 1}, {0, 1}, {0, 1}, {0, 1}, {1}}), agents_of_types({0, 1}));
    EXPECT_EQ(checker.cost_for(0, 2, 3), 23.0);
    EXPECT_EQ(checker.cost_for(1, 2, 3), 123.0);
    EXPECT_EQ(checker.cost_for(1, 3, 3), 0.0);
    EXPECT_FALSE(checker.admits(0, 4));
    EXPECT_TRUE(checker.admits(1, 4));

    // Agent 0 runs 0 -> 1, agent 1 runs 2 -> 3.
    checker.set_end_nodes({1, 3});
    checker.set_start_nodes({0, 2});
    EXPECT_EQ(checker.cost_for(0, 3, 0), 0.0);
    EXPECT_EQ(checker.cost_for(0, 3, 1), 0.0);  // end leg left out without return_to_end
    EXPECT_EQ(checker.cost_for(0, 1, 2), 12.0);
    checker.set_return_to_end(true);
    EXPECT_EQ(checker.cost_for(0, 3, 1), 31.0);
    EXPECT_EQ(checker.cost_for(0, 3, 0), 0.0);

    EXPECT_TRUE(checker.admits(0, 0));
    EXPECT_TRUE(checker.admits(0, 1));
    EXPECT_FALSE(checker.admits(0, 2));  // another agent's start
    EXPECT_FALSE(checker.admits(0, 3));  // another agent's end
    EXPECT_TRUE(checker.admits(1, 3));
    EXPECT_FALSE(checker.admits(0, 5));  // no record
    // Own end node that is another agent's start: the start rule refuses it.
    checker.set_start_nodes({0, 1});
    EXPECT_FALSE(checker.admits(0, 1));
}

// The agent leaves p = 0 at time 0 for node 1 (window [10, 20], cost 10);
// node 2 is an unvisited target without a window.
struct DominanceCase {
    SparseGraph graph = complete_graph(3, 50);
    TimeWindowConstraintChecker checker;

    explicit DominanceCase(double p_to_w) {
        graph.AddArc(0, 1, {10});
        graph.AddArc(0, 2, {p_to_w});
        graph.AddArc(2, 1, {5});
        graph.AddArc(1, 2, {5});
        checker.initialize(&graph, nodes_allowing({{0}, {0}, {0}}), agents_of_types({0}));
        checker.set_time_windows({{1, {10, 20}}});
    }
    TransitionVerdict move() const { return checker.check_transition(child_state(3, {0}, {10}, {0, 1}), 0, 1); }
};

TEST(TimeWindowRule, DominanceRejectsAMoveThatSkipsAFreeDetour) {
    // Via node 2 the agent still reaches node 1 at 10, but node 2 after node 1 only at 15.
    expect_verdict(DominanceCase(4).move(), false, 0, false);
    // Via node 2 it would reach node 1 only at 13.
    expect_verdict(DominanceCase(8).move(), true, 0, false);

    DominanceCase own_start(4);
    own_start.checker.set_start_nodes({2});
    expect_verdict(own_start.move(), true, 0, false);
    DominanceCase own_end(4);
    own_end.checker.set_end_nodes({2});
    expect_verdict(own_end.move(), true, 0, false);
    own_end.checker.set_return_to_end(true);  // the end node then has to be visited
    expect_verdict(own_end.move(), false, 0, false);
}

TEST(TimeWindowRule, ReachabilityNeedsSomeAgentThatCanStillMakeEveryWindow) {
    // Agent 0 moves 0 -> 1 arriving at 5; node 2 (window [0, 6]) is 3 further on,
    // too late, but 4 from agent 1 standing on node 0.
    SparseGraph graph = complete_graph(3, 3);
    graph.AddArc(0, 1, {5});
    graph.AddArc(0, 2, {4});
    graph.AddArc(2, 1, {10});
    TimeWindowConstraintChecker checker;
    checker.initialize(&graph, nodes_allowing({{0}, {0}, {0, 1}}), agents_of_types({0, 0}));
    checker.set_time_windows({{2, {0, 6}}});
    auto move = [&](std::vector<char> done, double other_time) {
        return checker.check_transition(child_state(3, {0, 0}, {5, other_time}, {0, 1}, done), 0, 1);
    };
    expect_verdict(move({0, 0}, 0), true, 0, false);
    expect_verdict(move({0, 0}, 2.5), false, 0, false);
    // Without end nodes a finished agent still counts; with them it does not.
    expect_verdict(move({0, 1}, 0), true, 0, false);
    checker.set_end_nodes({0, 0});
    expect_verdict(move({0, 1}, 0), false, 0, false);

    // A node nobody may visit is never covered; nor is anything without agents.
    const SparseGraph g = complete_graph(3, 1);
    checker.initialize(&g, nodes_allowing({{0}, {0}, {}}), agents_of_types({0}));
    expect_verdict(checker.check_transition(child_state(3, {0}, {1}, {0, 1}), 0, 1), false, 0, false);
    checker.initialize(&g, nodes_allowing({{0}, {0}, {0}}), {});
    expect_verdict(checker.check_transition(child_state(3, {0}, {1}, {0, 1}), 0, 1), false, 0, false);

    // More vertices than node records: moves beyond the table are looked up safely.
    const SparseGraph g6 = complete_graph(6, 2);
    checker.initialize(&g6, nodes_allowing({{0}, {0}, {0}}), agents_of_types({0}));
    checker.set_time_windows({{2, {0, 100}}, {5, {0, 100}}});
    checker.set_start_nodes({0});
    checker.set_end_nodes({4});
    expect_verdict(checker.check_transition(child_state(6, {0}, {2}, {0, 1}), 0, 1), true, 0, false);
    expect_verdict(checker.check_transition(child_state(6, {0}, {2}, {0, 5}), 0, 5), true, 0, false);
}

TEST(TimeWindowRule, ServiceStartsInTheWindowAndTheLookAheadsCountIt) {
    // Node 1 (window [5, 8]) takes 2 of service, node 2 (no window) 4.
    const SparseGraph g = complete_graph(3, 3);
    auto nodes = nodes_allowing({{0}, {0}, {0}});
    nodes[1].service = 2;
    nodes[2].service = 4;
    TimeWindowConstraintChecker checker;
    checker.initialize(&g, nodes, agents_of_types({0}));
    checker.set_time_windows({{1, {5, 8}}});
    expect_verdict(checker.check_transition(child_state(3, {0}, {3}, {0, 1, 2}), 0, 1), true, 7, true);
    expect_verdict(checker.check_transition(child_state(3, {0}, {8}, {0, 1, 2}), 0, 1), true, 10, true);
    expect_verdict(checker.check_transition(child_state(3, {0}, {8.5}, {0, 1, 2}), 0, 1), false, 0, false);
    expect_verdict(checker.check_transition(child_state(3, {0}, {3}, {0, 1, 2}), 0, 2), true, 7, true);

    // Reachability: node 2 closes at 9. Leaving node 1 at 5 it is reached at
    // 8; with 2 of service at node 1 (from 5 to 7) only at 10.
    for (double service : {0.0, 2.0}) {
        auto reach = nodes_allowing({{0}, {0}, {0}});
        reach[1].service = service;
        checker.initialize(&g, reach, agents_of_types({0}));
        checker.set_time_windows({{1, {5, 8}}, {2, {0, 9}}});
        const bool reachable = service == 0;
        expect_verdict(checker.check_transition(child_state(3, {0}, {3}, {0, 1}), 0, 1), reachable,
                       reachable ? 5 : 0, reachable);
    }

    // Dominance (see DominanceCase): the free detour over node 2 stops being
    // free once node 2 takes 2 of service, but 3 of service at node 1 leaves it free.
    for (const auto& [service_w, service_node, rejected] :
         std::vector<std::tuple<double, double, bool>>{{0, 0, true}, {2, 0, false}, {0, 3, true}}) {
        DominanceCase c(4);
        auto served = nodes_allowing({{0}, {0}, {0}});
        served[2].service = service_w;
        served[1].service = service_node;
        c.checker.initialize(&c.graph, served, agents_of_types({0}));
        EXPECT_EQ(c.move().feasible, !rejected) << service_w << " " << service_node;
    }
}

TEST(CapacityRule, ForbidsTooHeavyNodesAndRejectsOverloadedStates) {
    const SparseGraph g = complete_graph(3, 1);
    auto nodes = nodes_allowing({{0}, {0}, {1}});
    nodes[1].demand = 12;
    nodes[2].demand = 3;
    auto agents = agents_of_types({0, 1, 0});
    agents[0].capacity_limit = 10;
    agents[1].capacity_limit = 10;  // agent 2 has none
    CapacityConstraintChecker checker;
    EXPECT_EQ(checker.name(), "CapacityConstraintChecker");
    checker.initialize(&g, nodes, agents);
    EXPECT_TRUE(checker.forbids(0, 1));   // 12 > 10
    EXPECT_FALSE(checker.forbids(2, 1));  // no limit
    EXPECT_TRUE(checker.forbids(0, 2));   // the assignment still applies
    EXPECT_FALSE(checker.forbids(1, 2));

    SearchState s = child_state(3, {0, 0, 0}, {0, 0, 0}, {});
    s.extra_values = {10, 10.5, 1e9};
    EXPECT_TRUE(checker.check_state(s, 0));
    EXPECT_FALSE(checker.check_state(s, 1));
    EXPECT_TRUE(checker.check_state(s, 2));
    expect_verdict(checker.check_transition(s, 1, 1), true, 0, false);
    s.extra_values.clear();  // a state without loads cannot be judged
    EXPECT_THROW(checker.check_state(s, 0), std::out_of_range);
}

// Returns a fixed answer to everything and remembers the cost it was shown.
struct FixedChecker : ConstraintCheckerPlugin {
    TransitionVerdict verdict{true, 0, false};
    bool answer = false;  // forbids and is_dead_end say this, check_state the opposite
    int* initialised = nullptr;
    mutable double seen_cost = -1;
    mutable int calls = 0;

    FixedChecker(TransitionVerdict v, bool a, int* count) : verdict(v), answer(a), initialised(count) {}
    std::string name() const override { return "Fixed"; }
    void initialize(const PlannerGraph*, const std::vector<NodeRecord>&, const std::vector<AgentRecord>&) override {
        ++*initialised;
    }
    bool forbids(size_t, size_t) const override { return answer; }
    TransitionVerdict check_transition(const SearchState& child, size_t agent, size_t) const override {
        seen_cost = child.agent_cost[agent];
        ++calls;
        return verdict;
    }
    bool check_state(const SearchState&, size_t) const override { return !answer; }
    bool is_dead_end(const SearchState&) const override { return answer; }
};

TEST(CompositeChecker, ChainsArrivalTimesThroughAPrivateCopy) {
    int initialised = 0;
    CompositeConstraintChecker composite;
    const SearchState child = child_state(2, {0, 0}, {3, 4}, {0});
    expect_verdict(composite.check_transition(child, 1, 1), true, 0, false);

    FixedChecker* seen[3];
    const TransitionVerdict verdicts[3] = {{true, 7, true}, {true, 0, false}, {true, 9, true}};
    for (int i = 0; i < 3; ++i) {
        auto checker = std::make_unique<FixedChecker>(verdicts[i], false, &initialised);
        seen[i] = checker.get();
        composite.add(std::move(checker));
    }
    EXPECT_EQ(composite.children().size(), 3u);
    EXPECT_THROW(composite.add(nullptr), std::invalid_argument);
    composite.initialize(nullptr, {}, {});
    EXPECT_EQ(initialised, 3);

    for (int repeat = 0; repeat < 2; ++repeat) {
        expect_verdict(composite.check_transition(child, 1, 1), true, 9, true);
        EXPECT_EQ(seen[0]->seen_cost, 4);
        EXPECT_EQ(seen[1]->seen_cost, 7);
        EXPECT_EQ(seen[2]->seen_cost, 7);
        EXPECT_EQ(child.agent_cost[1], 4);
    }
    EXPECT_FALSE(composite.forbids(0, 0));
    EXPECT_TRUE(composite.check_state(child, 0));
    EXPECT_FALSE(composite.is_dead_end(child));

    // An infeasible verdict comes back unchanged and later children are not asked.
    composite.add(std::make_unique<FixedChecker>(TransitionVerdict{false, 3, true}, true, &initialised));
    auto last = std::make_unique<FixedChecker>(TransitionVerdict{true, 5, true}, false, &initialised);
    const FixedChecker* last_ptr = last.get();
    composite.add(std::move(last));
    expect_verdict(composite.check_transition(child, 1, 1), false, 3, true);
    EXPECT_EQ(last_ptr->calls, 0);
    EXPECT_TRUE(composite.forbids(0, 0));
    EXPECT_FALSE(composite.check_state(child, 0));
    EXPECT_TRUE(composite.is_dead_end(child));
}

TEST(CompositeChecker, WindowWaitIsSeenByTheTimeLimit) {
    // Chained as the Solver installs them; the limit is 6 and node 1 opens at 7.
    const SparseGraph g = complete_graph(2, 3);
    CompositeConstraintChecker composite;
    composite.add(std::make_unique<DefaultConstraintChecker>());
    auto windows = std::make_unique<TimeWindowConstraintChecker>();
    TimeWindowConstraintChecker* windows_ptr = windows.get();
    composite.add(std::move(windows));
    composite.add(std::make_unique<TimeLimitConstraintChecker>());
    composite.initialize(&g, nodes_allowing({{0}, {0}}), agents_of_types({0}, 6));
    windows_ptr->set_time_windows({{1, {7, 9}}});

    SearchState child = child_state(2, {0}, {3}, {0, 1});
    const TransitionVerdict v = composite.check_transition(child, 0, 1);
    expect_verdict(v, true, 7, true);
    child.agent_cost[0] = v.arrival_time;
    EXPECT_FALSE(composite.check_state(child, 0));
    EXPECT_TRUE(composite.check_state(child_state(2, {0}, {6}, {0, 1}), 0));
}

}  // namespace
}  // namespace dulmar
