#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <unordered_map>
#include <string>
#include <vector>

#include "graph/sparse_graph.h"
#include "postopt_fixtures.h"
#include "postopt/default_post_optimizer.h"

namespace dulmar {
namespace {

using testing_support::complete_graph;
using testing_support::line_graph;
using testing_support::open_nodes;
using testing_support::typed_agents;

DefaultPostOptimizer configured(const std::vector<size_t>& depots, const TimeWindowMap& windows = {}) {
    DefaultPostOptimizer opt;
    opt.set_start_nodes(depots);
    opt.set_end_nodes(depots);
    opt.set_return_to_end(true);
    opt.set_time_windows(windows);
    return opt;
}

Result with_paths(std::unordered_map<int64_t, Route> paths) {
    Result r;
    r.paths = std::move(paths);
    return r;
}

TEST(DefaultPostOptimizer, TwoOptNeedsAGainAboveTheThreshold) {
    // 0-1-2-3 costs p; its reversal 0-2-1-3 costs 1.
    for (const double p : {1.0 + 1e-9, 1.0 + 2e-9}) {
        const SparseGraph g = complete_graph(4, [&](size_t u, size_t v) {
            return u == 0 && v == 1 ? p : (u == 0 && v == 2 ? 1.0 : 0.0);
        });
        DefaultPostOptimizer opt;
        opt.set_start_nodes({0});
        opt.set_end_nodes({3});
        Result result = with_paths({{0, {0, 1, 2, 3}}});
        opt.optimize(&g, open_nodes(4), typed_agents({0}), result);
        const bool reversed = p == 1.0 + 2e-9;
        EXPECT_EQ(result.paths[0], (reversed ? Route{0, 2, 1, 3} : Route{0, 1, 2, 3}));
        EXPECT_EQ(result.times[0], reversed ? 1.0 : p);
    }
}

// One type; x = 0, 10, 20, 25 | 30, 35: routes cost 50 and 10.
TEST(DefaultPostOptimizer, RelocatesOneNodeInsideAGroup) {
    const SparseGraph g = line_graph({0, 10, 20, 25, 30, 35});
    const auto agents = typed_agents({0, 0});
    DefaultPostOptimizer opt = configured({0, 4});
    Result result = with_paths({{0, {0, 1, 2, 3, 0}}, {1, {4, 5, 4}}});
    opt.load(&g, open_nodes(6), agents, result);
    opt.refresh_extremes(0);
    EXPECT_EQ(opt.groups().at(0).longest, 0u);
    EXPECT_EQ(opt.groups().at(0).shortest, 1u);
    // Moving x=25 leaves 40 and 20 on either side of 35: the earlier position wins.
    const RelocationMove move = opt.find_relocation(0, 0);
    EXPECT_EQ(move.from_pos, 3u);
    EXPECT_EQ(move.to_pos, 1u);
    EXPECT_EQ(move.gain, 10.0);

    opt.optimize(&g, open_nodes(6), agents, result);
    EXPECT_EQ(result.paths[0], (Route{0, 1, 2, 0}));
    EXPECT_EQ(result.paths[1], (Route{4, 3, 5, 4}));
    EXPECT_EQ(result.times[0], 40.0);
    EXPECT_EQ(result.times[1], 20.0);
}

TEST(DefaultPostOptimizer, BalancesBetweenGroupsUntilNoGain) {
    // Type 0 over x 0..30 costs 60; type 1 based at 40 costs 10. x=30 moves
    // over; then moving x=20 would leave max(20, 40) = 40: no gain.
    const SparseGraph g = line_graph({0, 10, 20, 30, 40, 35});
    DefaultPostOptimizer opt = configured({0, 4});
    Result result = with_paths({{0, {0, 1, 2, 3, 0}}, {1, {4, 5, 4}}});
    opt.optimize(&g, open_nodes(6), typed_agents({0, 1}), result);
    EXPECT_EQ(result.paths[0], (Route{0, 1, 2, 0}));
    EXPECT_EQ(result.paths[1], (Route{4, 3, 5, 4}));
    EXPECT_EQ(result.times[0], 40.0);
    EXPECT_EQ(result.times[1], 20.0);
}

TEST(DefaultPostOptimizer, BalancingStopsWhenTheLongestRoutesTie) {
    // Group 0 is the relocation example (40 and 20 after its one move); group
    // 1's only route costs 40 too, so group 0 is both the largest and the
    // smallest and balancing stops, although another move in group 0 pays.
    const SparseGraph g = line_graph({0, 10, 20, 25, 30, 35, 100, 80});
    const auto agents = typed_agents({0, 0, 1});
    DefaultPostOptimizer opt = configured({0, 4, 6});
    Result result = with_paths({{0, {0, 1, 2, 3, 0}}, {1, {4, 5, 4}}, {2, {6, 7, 6}}});
    opt.optimize(&g, open_nodes(8), agents, result);
    EXPECT_EQ(result.paths[0], (Route{0, 1, 2, 0}));
    EXPECT_EQ(result.paths[1], (Route{4, 3, 5, 4}));
    EXPECT_EQ(result.paths[2], (Route{6, 7, 6}));

    opt.load(&g, open_nodes(8), agents, result);
    EXPECT_EQ(opt.group_order(), (std::vector<size_t>{0, 1}));
    EXPECT_EQ(opt.groups().at(0).count, 2u);
    EXPECT_EQ(opt.groups().at(0).members, (std::vector<size_t>{0, 1}));
    opt.refresh_extremes(0);
    EXPECT_GT(opt.find_relocation(0, 0).gain, 0.0);
}

TEST(DefaultPostOptimizer, WriteBackReplacesTheWholeResult) {
    const SparseGraph g = line_graph({0, 10, 20});
    DefaultPostOptimizer opt = configured({0, 0});
    Result result = with_paths({{0, {0, 1, 2, 0}}, {9, {0, 2, 0}}});
    result.times[9] = 3.0;
    result.n_generated = result.n_expanded = result.finish_code = result.spare_count = 5;
    result.spare_value = result.search_cpu_time = result.spare_low = result.spare_high = 1.5;
    result.last_update_time = 2.5;
    result.timeout = true;
    opt.optimize(&g, open_nodes(3), typed_agents({0, 0}), result);

    const Result fresh;
    EXPECT_TRUE(result.n_generated == fresh.n_generated && result.n_expanded == fresh.n_expanded &&
                result.finish_code == fresh.finish_code && result.spare_count == fresh.spare_count);
    EXPECT_TRUE(result.spare_value == fresh.spare_value && result.search_cpu_time == fresh.search_cpu_time &&
                result.spare_low == fresh.spare_low && result.spare_high == fresh.spare_high);
    EXPECT_TRUE(result.last_update_time == fresh.last_update_time && result.timeout == fresh.timeout);
    EXPECT_EQ(result.paths.size(), 2u);
    EXPECT_EQ(result.times.size(), 2u);
    EXPECT_EQ(result.times[0], 40.0);
    EXPECT_TRUE(result.paths[1].empty());  // no route given: empty, cost 0
    EXPECT_EQ(result.times[1], 0.0);
}

TEST(DefaultPostOptimizer, Messages) {
    const SparseGraph g = line_graph({0, 10, 20, 30});
    // Routes that end away from their depot: each is reported once while
    // grouping (twice for a group's first member) and once in its group's pass.
    DefaultPostOptimizer opt = configured({0, 0, 0});
    Result result = with_paths({{0, {0, 1, 2}}, {1, {0, 2, 1}}, {2, {0, 3, 1}}});
    testing::internal::CaptureStderr();
    opt.optimize(&g, open_nodes(4), typed_agents({0, 0, 1}), result);
    auto line = [](int a) { return "[post-opt] invalid path for agent " + std::to_string(a) + ", skip optimize\n"; };
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              line(0) + line(0) + line(1) + line(2) + line(2) + line(0) + line(1) + line(2));
    EXPECT_EQ(result.paths[2], (Route{0, 3, 1}));
    EXPECT_EQ(result.times[2], 0.0);

    // Agent 0 does not wait at its start (its window holds only where a route
    // comes back); agent 1 takes an endless arc.
    const double inf = std::numeric_limits<double>::infinity();
    const SparseGraph endless = complete_graph(4, [&](size_t u, size_t v) { return u == 2 && v == 3 ? inf : 1.0; });
    auto limited = typed_agents({0, 0});
    limited[0].time_limit = 5;
    DefaultPostOptimizer over = configured({0, 1}, {{0, {7, 100}}});
    result = with_paths({{0, {0}}, {1, {1, 2, 3, 1}}});
    testing::internal::CaptureStderr();
    over.optimize(&endless, open_nodes(4), limited, result);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[post-opt] path invalid or over capacity, skip agent 1\n");
    EXPECT_EQ(result.times[0], 0.0);
    EXPECT_EQ(result.times[1], inf);
}

TEST(DefaultPostOptimizer, ApplyRelocationGuards) {
    const SparseGraph g = line_graph({0, 10, 20, 30});
    auto nodes = open_nodes(4);
    nodes[2].allowed_types = {0};
    DefaultPostOptimizer opt = configured({0, 3});
    opt.load(&g, nodes, typed_agents({0, 1}), with_paths({{0, {0, 1, 2, 0}}, {1, {3, 3}}}));
    auto& routes = opt.routes();
    const std::vector<AgentRoute> before = routes;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(opt.apply_relocation(routes[0], routes[1], {0, 1, 0, 1, 5.0}));
    EXPECT_FALSE(opt.apply_relocation(routes[0], routes[1], {1, 2, 0, 1, 5.0}));
    EXPECT_FALSE(opt.apply_relocation(routes[0], routes[1], {2, 1, 0, 1, 5.0}));  // node 2 is not for type 1
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Invalid indices.\nInvalid indices.\n");
    for (size_t i = 0; i < routes.size(); ++i) EXPECT_EQ(routes[i].route, before[i].route);

    EXPECT_TRUE(opt.apply_relocation(routes[0], routes[1], {1, 1, 0, 1, 5.0}));
    EXPECT_EQ(routes[0].route, (Route{0, 2, 0}));
    EXPECT_EQ(routes[1].route, (Route{3, 1, 3}));
    EXPECT_EQ(routes[0].cost, 40.0);
    EXPECT_EQ(routes[1].cost, 40.0);
}

}  // namespace
}  // namespace dulmar
