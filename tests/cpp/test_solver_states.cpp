#include <gtest/gtest.h>

#include "search/solver.h"
#include "solver_fixtures.h"

namespace dulmar {
namespace {

using testing_support::euclidean_problem;

class SolverStates : public ::testing::Test {
protected:
    SolverStates() : solver(euclidean_problem({{0, 0}, {1, 0}, {2, 0}, {3, 0}}, 2), Options{}) {}

    // Stores a state with the given f-value and visited nodes in the pool.
    size_t add_state(double f_value, std::vector<size_t> visited_nodes, std::vector<double> costs = {0, 0}) {
        SearchState state;
        state.agent_node = {0, 0};
        state.agent_cost = std::move(costs);
        state.agent_done = {0, 0};
        state.active_agents = 2;
        state.node_count = 4;
        state.visited = VisitedSet::with_first_clear(4);
        for (size_t v : visited_nodes) state.visited.set(v);
        state.f_value = f_value;
        state.id = solver.allocate_state();
        solver.states.store(state.id, state);
        return state.id;
    }

    Solver solver;
};

TEST_F(SolverStates, PoolGrowsIn1024ThenDoublingThen4096Steps) {
    std::vector<size_t> capacities;
    for (int i = 0; i < 1024; ++i) solver.allocate_state();
    EXPECT_EQ(solver.pool_capacity, 1024u);
    EXPECT_EQ(solver.pool_increment, 2048u);
    for (size_t target : {1025u, 3073u, 7169u, 11265u}) {
        while (solver.num_states < target) solver.allocate_state();
        capacities.push_back(solver.pool_capacity);
    }
    EXPECT_EQ(capacities, (std::vector<size_t>{3072, 7168, 11264, 15360}));
    EXPECT_EQ(solver.states.capacity(), 15360u);
    EXPECT_EQ(solver.parents.size(), 15360u);
    EXPECT_EQ(solver.states.node_count(15000), -1);  // fresh slots hold no state
}

TEST_F(SolverStates, FocalCollapsesEntriesThatTheComparatorCannotOrder) {
    solver.focal.insert(FocalEntry{1, 3, 2, 5.0, 4.0});
    solver.focal.insert(FocalEntry{2, 3, 1, 5.0, 4.0});  // same keys, other id: one entry
    EXPECT_EQ(solver.focal.size(), 1u);
    EXPECT_EQ(solver.focal.begin()->id, 1u);
    solver.focal.insert(FocalEntry{3, 4, 2, 9.0, 9.0});  // more visited goes first
    EXPECT_EQ(solver.focal.begin()->id, 3u);
}

TEST_F(SolverStates, RaisingTheBoundMovesOpenEntriesInWithZeroLength) {
    const size_t low = add_state(4.0, {1});
    const size_t mid = add_state(6.0, {1, 2});
    const size_t high = add_state(9.0, {});
    for (size_t id : {low, mid, high}) solver.open.insert(OpenEntry{solver.states.f_value(id), id});
    solver.focal_bound = 5.0;
    solver.focal.insert(FocalEntry{low, 1, 2, 4.0, 3.0});

    solver.update_focal_bound(5.0, 8.0);
    EXPECT_EQ(solver.focal_bound, 8.0);
    ASSERT_EQ(solver.focal.size(), 2u);
    const FocalEntry& moved = *solver.focal.begin();  // two visited nodes: first
    EXPECT_EQ(moved.id, mid);
    EXPECT_EQ(moved.visited_count, 2);
    EXPECT_EQ(moved.active_agents, 2);
    EXPECT_EQ(moved.total_length, 0.0);

    // A moved-over entry orders before an equal one that carries its length.
    solver.focal.insert(FocalEntry{high, 2, 2, 6.0, 1.0});
    EXPECT_EQ(solver.focal.begin()->id, mid);

    solver.update_focal_bound(8.0, 5.0);
    ASSERT_EQ(solver.focal.size(), 1u);
    EXPECT_EQ(solver.focal.begin()->id, low);
    EXPECT_EQ(solver.open.size(), 3u);
}

TEST_F(SolverStates, IncumbentPrunesFocalAtTheCostAndOpenAboveItsMargin) {
    solver.open.insert(OpenEntry{10.15, 1});
    solver.open.insert(OpenEntry{10.25, 2});
    solver.open.insert(OpenEntry{9.0, 3});
    solver.focal.insert(FocalEntry{1, 1, 1, 10.15, 0});
    solver.focal.insert(FocalEntry{3, 1, 1, 9.0, 0});
    solver.set_incumbent(10.0);
    EXPECT_EQ(solver.incumbent_cost, 10.0);
    ASSERT_EQ(solver.focal.size(), 1u);
    EXPECT_EQ(solver.focal.begin()->id, 3u);
    ASSERT_EQ(solver.open.size(), 2u);
    EXPECT_EQ(solver.open.rbegin()->id, 1u);
}

TEST_F(SolverStates, ExpandedStatesPruneDominatedOnesAtTheSamePositions) {
    SearchState expanded = solver.states.get(add_state(5.0, {1, 2}, {3, 4}));
    expanded.g_value = 4;
    EXPECT_FALSE(solver.is_dominated(expanded));  // first sight creates the store
    EXPECT_EQ(solver.frontiers.size(), 1u);
    solver.record_expanded(expanded);

    SearchState worse = expanded;
    worse.agent_cost = {3, 5};
    worse.g_value = 5;
    worse.visited.reset(2);
    EXPECT_TRUE(solver.is_dominated(worse));

    SearchState elsewhere = worse;
    elsewhere.agent_node = {1, 0};
    EXPECT_FALSE(solver.is_dominated(elsewhere));
    EXPECT_EQ(solver.frontiers.size(), 2u);
    EXPECT_EQ(solver.frontier_count, 2u);
}

TEST_F(SolverStates, GoalNeedsEveryNodeAndNoActiveAgent) {
    SearchState state = solver.states.get(add_state(0, {0, 1, 2, 3}));
    EXPECT_EQ(solver.visited_count(state), 4);
    EXPECT_FALSE(solver.is_goal(state));
    state.active_agents = 0;
    EXPECT_TRUE(solver.is_goal(state));
    state.visited.reset(3);
    EXPECT_FALSE(solver.is_goal(state));
    state.agent_cost = {1.5, 2.0};
    EXPECT_DOUBLE_EQ(solver.total_length(state), 3.5);
}

}  // namespace
}  // namespace dulmar
