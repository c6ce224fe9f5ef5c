#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "plugins/default_heuristic.h"

namespace dulmar {
namespace {

constexpr double kSaturation = 1.1235582092889473e307;

struct Agent {
    size_t node;
    bool done;
};

SearchState make_state(int node_count, const std::vector<Agent>& agents, std::initializer_list<size_t> visited) {
    SearchState s;
    s.node_count = node_count;
    s.visited = VisitedSet::with_first_clear(static_cast<size_t>(node_count));
    for (size_t v : visited) s.visited.set(v);
    for (const Agent& a : agents) {
        s.agent_node.push_back(a.node);
        s.agent_cost.push_back(0.0);
        s.agent_done.push_back(a.done ? 1 : 0);
    }
    return s;
}

DefaultHeuristic make_heuristic(size_t agent_count, const std::vector<MstEdge>& edges) {
    DefaultHeuristic h;
    h.initialize(nullptr, {}, std::vector<AgentRecord>(agent_count));
    h.set_edges(edges);
    return h;
}

// The bound as a rescan of the sorted edge list for the cheapest usable edge.
double greedy_scan(const SearchState& s, const std::vector<MstEdge>& sorted_edges, size_t agent_count) {
    VisitedSet in_tree = s.visited;
    VisitedSet closed = s.visited;
    for (size_t i = 0; i < agent_count; ++i) in_tree.set(s.agent_node[i]);
    for (size_t i = 0; i < agent_count; ++i) {
        if (!s.agent_done[i]) closed.reset(s.agent_node[i]);
    }
    double sum = 0.0;
    for (;;) {
        if (s.node_count < 1 || in_tree.all_set_below(static_cast<size_t>(s.node_count))) return sum;
        const MstEdge* chosen = nullptr;
        for (const MstEdge& e : sorted_edges) {
            if (in_tree.test(e.u) != in_tree.test(e.v) && !closed.test(e.u) && !closed.test(e.v)) {
                chosen = &e;
                break;
            }
        }
        if (chosen == nullptr) return kSaturation;
        sum += chosen->cost;
        in_tree.set(in_tree.test(chosen->u) ? chosen->v : chosen->u);
    }
}

TEST(DefaultHeuristic, GrowsTheTreeFromUnfinishedAgentsAroundClosedNodes) {
    const std::vector<MstEdge> edges{{1, 0, 2}, {2, 1, 3}, {3, 0, 4}, {3, 2, 5}};
    const DefaultHeuristic h = make_heuristic(1, edges);
    EXPECT_DOUBLE_EQ(h.evaluate(make_state(4, {{0, false}}, {})), 2 + 3 + 4);
    // Node 1 visited: in the tree but closed, so the tree goes round it.
    EXPECT_DOUBLE_EQ(h.evaluate(make_state(4, {{0, false}}, {1})), 4 + 5);

    const DefaultHeuristic without_last = make_heuristic(1, {edges[0], edges[1], edges[2]});
    EXPECT_EQ(without_last.evaluate(make_state(4, {{0, false}}, {1})), kSaturation);
    EXPECT_EQ(DefaultHeuristic::kSaturation, kSaturation);
}

TEST(DefaultHeuristic, EmptyRemainderGivesZeroAndUnusableEdgesSaturate) {
    const DefaultHeuristic h = make_heuristic(1, {{1, 0, 2}, {3, 1, 5}});
    EXPECT_EQ(h.evaluate(make_state(4, {{0, false}}, {1, 2, 3})), 0.0);
    EXPECT_EQ(h.evaluate(make_state(0, {{0, false}}, {})), 0.0);
    // Node 2 has no edge.
    EXPECT_EQ(h.evaluate(make_state(4, {{0, false}}, {1})), kSaturation);
    EXPECT_EQ(h.evaluate(make_state(4, {{0, false}}, {})), kSaturation);
    // Costs of 9999 or more are edges like any other.
    EXPECT_EQ(make_heuristic(1, {{1, 0, 2}, {2, 0, 9999}, {2, 1, 12000}}).evaluate(make_state(3, {{0, false}}, {})),
              2.0 + 9999.0);
    // No edges at all but something left to join.
    EXPECT_EQ(make_heuristic(1, {}).evaluate(make_state(2, {{0, false}}, {})), kSaturation);
}

TEST(DefaultHeuristic, FinishedAgentsAreSourcesOnlyWhereTheirNodeIsUnvisited) {
    const std::vector<MstEdge> edges{{2, 1, 1}, {3, 2, 2}, {1, 0, 6}, {3, 0, 10}};
    const DefaultHeuristic h = make_heuristic(2, edges);
    // Agent 1 finished on visited node 1: closed, so only node 0 grows the tree.
    EXPECT_DOUBLE_EQ(h.evaluate(make_state(4, {{0, false}, {1, true}}, {0, 1})), 10 + 2);
    // Agent 1 finished on unvisited node 1: a source like any tree node.
    EXPECT_DOUBLE_EQ(h.evaluate(make_state(4, {{0, false}, {1, true}}, {0})), 1 + 2);
    // Unfinished agent on a visited node is a source.
    EXPECT_DOUBLE_EQ(h.evaluate(make_state(4, {{0, false}, {1, false}}, {0, 1})), 1 + 2);
}

TEST(DefaultHeuristic, RepeatedPairKeepsTheCheaperCostAndSetEdgesReplaces) {
    DefaultHeuristic h = make_heuristic(1, {{1, 0, 3}, {1, 0, 7}});
    EXPECT_DOUBLE_EQ(h.evaluate(make_state(2, {{0, false}}, {})), 3);
    h.set_edges({{1, 0, 7}});
    EXPECT_DOUBLE_EQ(h.evaluate(make_state(2, {{0, false}}, {})), 7);
    EXPECT_EQ(h.edges().size(), 1u);
    h.set_edges({});
    EXPECT_EQ(h.evaluate(make_state(2, {{0, false}}, {})), kSaturation);
}

TEST(DefaultHeuristic, MatchesTheSortedEdgeScanOnRandomStates) {
    std::mt19937_64 rng(20240611);
    int saturated = 0;
    int finite = 0;
    for (int round = 0; round < 3000; ++round) {
        const size_t n = 1 + rng() % 14;
        const bool integer_costs = rng() % 2 == 0;  // many ties
        std::vector<MstEdge> edges;
        for (size_t u = 1; u < n; ++u) {
            for (size_t v = 0; v < u; ++v) {
                const unsigned roll = rng() % 10;
                if (roll < 3) continue;  // no edge
                const int copies = roll == 9 ? 2 : 1;
                for (int c = 0; c < copies; ++c) {
                    double cost = integer_costs ? static_cast<double>(rng() % 6)
                                                : std::uniform_real_distribution<double>(0.0, 100.0)(rng);
                    if (roll == 3) cost = 9999 + static_cast<double>(rng() % 3);
                    edges.push_back({u, v, cost});
                }
            }
        }
        std::stable_sort(edges.begin(), edges.end(),
                         [](const MstEdge& a, const MstEdge& b) { return a.cost < b.cost; });

        const size_t agent_count = 1 + rng() % 3;
        SearchState s;
        s.node_count = static_cast<int>(n);
        s.visited = VisitedSet::with_first_clear(n);
        for (size_t v = 0; v < n; ++v) {
            if (rng() % 3 == 0) s.visited.set(v);
        }
        for (size_t i = 0; i < agent_count; ++i) {
            s.agent_node.push_back(rng() % n);
            s.agent_cost.push_back(0.0);
            s.agent_done.push_back(rng() % 3 == 0 ? 1 : 0);
        }

        const DefaultHeuristic h = make_heuristic(agent_count, edges);
        const double expected = greedy_scan(s, edges, agent_count);
        const double actual = h.evaluate(s);
        if (expected == kSaturation) {
            ++saturated;
            ASSERT_EQ(actual, kSaturation) << "round " << round;
        } else {
            ++finite;
            ASSERT_NEAR(actual, expected, 1e-9 * std::max(1.0, std::fabs(expected))) << "round " << round;
        }
    }
    // Both outcomes must be well represented for the comparison to mean anything.
    EXPECT_GT(saturated, 150);
    EXPECT_GT(finite, 300);
}

}  // namespace
}  // namespace dulmar
