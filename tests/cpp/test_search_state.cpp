#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>

#include "plugins/search_state.h"
#include "search/frontier.h"

namespace dulmar {
namespace {

SearchState make_state(std::vector<double> costs, double g, std::initializer_list<size_t> visited) {
    SearchState s;
    s.agent_cost = std::move(costs);
    s.agent_node.assign(s.agent_cost.size(), 0);
    s.agent_done.assign(s.agent_cost.size(), 0);
    s.g_value = g;
    s.node_count = 8;
    s.visited = VisitedSet::with_first_clear(8);
    for (size_t v : visited) s.visited.set(v);
    return s;
}

TEST(VisitedSet, WordWiseOperationsAgreeWithBitLoopsAtWordEdges) {
    VisitedSet set;
    for (size_t i : {0u, 1u, 62u, 63u, 64u, 100u, 127u, 128u, 191u, 192u, 254u, 255u}) set.set(i);
    for (size_t n : {0u, 1u, 63u, 64u, 65u, 127u, 128u, 129u, 192u, 193u, 255u, 256u}) {
        int64_t expected = 0;
        for (size_t i = 0; i < n; ++i) expected += set.test(i) ? 1 : 0;
        EXPECT_EQ(set.count_below(n), expected) << "n = " << n;

        const VisitedSet cleared = VisitedSet::with_first_clear(n);
        for (size_t i = 0; i < VisitedSet::kBits; ++i) ASSERT_EQ(cleared.test(i), i >= n) << n << ", bit " << i;
    }

    VisitedSet full = VisitedSet::with_first_clear(0);
    EXPECT_TRUE(full.all_set_below(256));
    full.reset(64);
    EXPECT_TRUE(full.all_set_below(64));
    EXPECT_FALSE(full.all_set_below(65));
    full.set(64);
    full.reset(255);
    EXPECT_TRUE(full.all_set_below(255));
    EXPECT_FALSE(full.all_set_below(256));

    EXPECT_THROW(set.count_below(257), std::out_of_range);
    EXPECT_THROW(set.all_set_below(300), std::out_of_range);
    EXPECT_THROW(VisitedSet::with_first_clear(257), std::out_of_range);
}

TEST(Dominance, RequiresNoWorseValueCostsAndASupersetOfVisited) {
    const SearchState a = make_state({3, 4}, 4, {0, 1});
    EXPECT_TRUE(dominates(a, a));

    SearchState b = make_state({3, 5}, 5, {0});
    b.agent_node = {6, 7};  // positions, flags, h and f take no part
    b.agent_done = {1, 0};
    b.f_value = b.h_value = -100;
    EXPECT_TRUE(dominates(a, b));
    EXPECT_FALSE(dominates(b, a));

    SearchState c = b;
    c.g_value = 3.5;
    EXPECT_FALSE(dominates(a, c));
    c = b;
    c.agent_cost[0] = 2.5;
    EXPECT_FALSE(dominates(a, c));
    c = b;
    c.visited.set(5);
    EXPECT_FALSE(dominates(a, c));
    c.g_value = std::nan("");
    c.visited = b.visited;
    EXPECT_FALSE(dominates(a, c));
    EXPECT_FALSE(dominates(c, a));

    EXPECT_THROW(dominates(make_state({1, 1, 1}, 1, {}), a), std::invalid_argument);
}

TEST(Frontier, InsertDropsEveryStoredStateTheNewOneDominates) {
    Frontier frontier;
    EXPECT_FALSE(frontier.is_dominated(make_state({5, 5}, 5, {0})));

    EXPECT_EQ(frontier.insert(make_state({4, 6}, 6, {0, 1})), 0);
    EXPECT_EQ(frontier.insert(make_state({6, 4}, 6, {0, 2})), 0);
    EXPECT_EQ(frontier.insert(make_state({1, 1}, 1, {})), 0);
    EXPECT_TRUE(frontier.is_dominated(make_state({5, 7}, 7, {0})));
    EXPECT_FALSE(frontier.is_dominated(make_state({5, 5}, 5, {0, 3})));

    // Dominates the first two, not the cheap one with fewer visits.
    EXPECT_EQ(frontier.insert(make_state({4, 4}, 4, {0, 1, 2})), 2);
    EXPECT_EQ(frontier.size(), 2u);
    EXPECT_EQ(frontier.insert(make_state({4, 4}, 4, {0, 1, 2})), 1);  // its twin
    EXPECT_EQ(frontier.insert(make_state({0, 0}, 0, {0, 1, 2, 3})), 2);
    EXPECT_EQ(frontier.size(), 1u);
}

TEST(PositionKey, WritesEveryAgentNodeFollowedByAnUnderscore) {
    SearchState s;
    s.agent_node = {0, 5, 3};
    EXPECT_EQ(position_key(s), "0_5_3_");
    s.agent_node = {12, 0};
    EXPECT_EQ(position_key(s), "12_0_");
}

}  // namespace
}  // namespace dulmar
