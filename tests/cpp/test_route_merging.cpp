#include <gtest/gtest.h>

#include <map>
#include <unordered_map>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "graph/sparse_graph.h"
#include "postopt_fixtures.h"
#include "postopt/composite_post_optimizer.h"
#include "postopt/route_merging_post_optimizer.h"

namespace dulmar {
namespace {

using testing_support::arc_graph;
using testing_support::ArcCosts;
using testing_support::open_nodes;
using testing_support::typed_agents;

void configure(PostOptimizerPlugin& opt, const std::vector<size_t>& starts, const std::vector<size_t>& ends,
               const TimeWindowMap& windows = {}) {
    opt.set_start_nodes(starts);
    opt.set_end_nodes(ends);
    opt.set_return_to_end(true);
    opt.set_time_windows(windows);
}

Result with_paths(std::unordered_map<int64_t, Route> paths) {
    Result r;
    r.paths = std::move(paths);
    return r;
}

// Agent 0 (depot 0) has 0-1-2-0 at 30 that 2-opt turns into 0-2-1-0 at 15;
// agent 1 (depot 3) serves 4, and 4 fits anywhere into agent 0's route for +2.
ArcCosts two_route_costs(double back_to_3) {
    return {{{0, 1}, 10}, {{1, 2}, 10}, {{2, 0}, 10}, {{0, 2}, 5}, {{2, 1}, 5}, {{1, 0}, 5},
            {{3, 4}, 15}, {{4, 3}, back_to_3}};
}

TEST(RouteMerging, MergesOnlyRoutesCheaperThanTheLargest) {
    // Agent 1 costs 15 + back against agent 0's 30: equal, or less than 1e-9
    // below, merges nothing and only 2-opt acts; at 29 node 4 moves over (every
    // place costs 22, the earliest wins) and 2-opt follows.
    for (const double back : {15.0, 15.0 - 5e-10, 14.0}) {
        const SparseGraph g = arc_graph(5, two_route_costs(back), 1.0);
        RouteMergingPostOptimizer opt;
        configure(opt, {0, 3}, {0, 3});
        Result result = with_paths({{0, {0, 1, 2, 0}}, {1, {3, 4, 3}}});
        result.n_expanded = 11;
        opt.optimize(&g, open_nodes(5), typed_agents({0, 0}), result);
        const bool merged = back == 14.0;
        EXPECT_EQ(result.paths[0], (merged ? Route{0, 2, 1, 4, 0} : Route{0, 2, 1, 0}));
        EXPECT_EQ(result.times[0], merged ? 12.0 : 15.0);
        EXPECT_EQ(result.paths[1], (merged ? Route{3, 3} : Route{3, 4, 3}));
        EXPECT_EQ(result.times[1], merged ? 0.0 : 15.0 + back);
        EXPECT_EQ(result.n_expanded, 11);  // written back in place
    }
}

TEST(RouteMerging, ShortOrUnplaceableRoutesStay) {
    // Agent 1 (type 1) runs 3-4-5-3 for 20; node 5 is for type 1 only, so its
    // route stays although 4 would fit into agent 0's. Agent 2 runs 6-7 for 7.
    const SparseGraph g = arc_graph(8, {{{0, 1}, 50}, {{3, 4}, 5}, {{4, 5}, 5}, {{5, 3}, 10}, {{6, 7}, 7}}, 1.0, true);
    auto nodes = open_nodes(8);
    nodes[5].allowed_types = {1};
    RouteMergingPostOptimizer opt;
    configure(opt, {0, 3, 6}, {0, 3, 7});
    Result result = with_paths({{0, {0, 1, 0}}, {1, {3, 4, 5, 3}}, {2, {6, 7}}});
    const Result before = result;
    opt.load(&g, nodes, typed_agents({0, 1, 0}), result);
    EXPECT_TRUE(opt.find_best_insertion(4, 1, 100).found);
    EXPECT_FALSE(opt.find_best_insertion(5, 1, 100).found);

    opt.optimize(&g, nodes, typed_agents({0, 1, 0}), result);
    EXPECT_EQ(result.paths, before.paths);
    EXPECT_EQ(result.times[1], 20.0);
    EXPECT_EQ(result.times[2], 7.0);

    // With every route invalid the result is not touched at all.
    Result invalid = with_paths({{0, {1, 0}}, {5, {3}}});
    const Result copy = invalid;
    opt.optimize(&g, nodes, typed_agents({0, 1, 0}), invalid);
    EXPECT_EQ(invalid.paths, copy.paths);
    EXPECT_TRUE(invalid.times.empty());
}

// A: 0-1-0 at 100 (type 1, nothing else fits it). B: 2-3-2 at 60. C: 5 and 6
// each fit into B alone (+30), not both.
const ArcCosts kMergingCosts = {{{0, 1}, 50}, {{2, 3}, 30}, {{4, 5}, 5},  {{5, 6}, 20}, {{6, 4}, 5}, {{2, 5}, 30},
                                {{3, 5}, 30}, {{2, 6}, 30}, {{3, 6}, 30}, {{5, 7}, 5},  {{4, 7}, 8}};

TEST(RouteMerging, DissolvedRouteKeepsTheCostOfWhatIsLeft) {
    const SparseGraph g = arc_graph(8, kMergingCosts, 1000.0, true);
    auto nodes = open_nodes(8);
    nodes[0].allowed_types = nodes[1].allowed_types = {1};
    for (size_t v = 2; v < 8; ++v) nodes[v].allowed_types = {0};
    const auto agents = typed_agents({1, 0, 0});

    // 5 moves to B; 6 no longer fits and stays: C is 4-6-4 at 10.
    RouteMergingPostOptimizer opt;
    configure(opt, {0, 2, 4}, {0, 2, 4});
    Result result = with_paths({{0, {0, 1, 0}}, {1, {2, 3, 2}}, {2, {4, 5, 6, 4}}});
    opt.optimize(&g, nodes, agents, result);
    EXPECT_EQ(result.paths[1], (Route{2, 5, 3, 2}));
    EXPECT_EQ(result.times[1], 90.0);
    EXPECT_EQ(result.paths[2], (Route{4, 6, 4}));
    EXPECT_EQ(result.times[2], 10.0);
    EXPECT_EQ(result.times[0], 100.0);

    // C runs 4-5-7 between different depots; emptied, its direct leg still costs 8.
    RouteMergingPostOptimizer open_ended;
    configure(open_ended, {0, 2, 4}, {0, 2, 7});
    Result second = with_paths({{0, {0, 1, 0}}, {1, {2, 3, 2}}, {2, {4, 5, 7}}});
    open_ended.optimize(&g, nodes, agents, second);
    EXPECT_EQ(second.paths[2], (Route{4, 7}));
    EXPECT_EQ(second.times[2], 8.0);
    EXPECT_EQ(second.paths[1], (Route{2, 5, 3, 2}));
}

TEST(RouteMerging, InsertionTieRule) {
    // Node 4 into agent 0's 0-1 (60) costs 80; into agent 1's 2-3 it costs `into_1`.
    struct Case {
        double into_1_second_leg;  // 2-4 costs 40
        double agent_1_cost;
        size_t winner;
    };
    const std::vector<Case> cases = {
        {40 + 5e-10, 79, 1},  // within 1e-9 and a smaller increase
        {40 + 5e-10, 50, 0},  // within 1e-9 but a larger increase
        {40, 60, 0},          // exact tie, same increase: the earlier agent
        {40 - 5e-10, 50, 1},  // strictly cheaper wins whatever the increase
    };
    for (const Case& k : cases) {
        const ArcCosts c = {{{0, 1}, 60}, {{0, 4}, 40}, {{4, 1}, 40},
                            {{2, 3}, k.agent_1_cost}, {{2, 4}, 40}, {{4, 3}, k.into_1_second_leg}};
        const SparseGraph g = arc_graph(6, c, 1000.0);
        RouteMergingPostOptimizer opt;
        configure(opt, {0, 2, 5}, {1, 3, 5});
        opt.load(&g, open_nodes(6), typed_agents({0, 0, 0}), with_paths({{0, {0, 1}}, {1, {2, 3}}, {2, {5, 4, 5}}}));
        const InsertionChoice choice = opt.find_best_insertion(4, 2, 1000);
        ASSERT_TRUE(choice.found);
        EXPECT_EQ(choice.agent, k.winner) << k.into_1_second_leg << " " << k.agent_1_cost;
        EXPECT_EQ(choice.pos, 1u);
        EXPECT_FALSE(opt.find_best_insertion(4, 2, 79.9).found);
    }
}

// Records every call in a shared log.
class RecordingChild : public PostOptimizerPlugin {
public:
    RecordingChild(std::string tag, std::vector<std::string>& log, bool fail = false)
        : tag_(std::move(tag)), log_(log), fail_(fail) {}
    ~RecordingChild() override { log_.push_back("~" + tag_); }
    std::string name() const override { return tag_; }
    void optimize(const PlannerGraph*, const std::vector<NodeRecord>&, const std::vector<AgentRecord>&,
                  Result& result) override {
        log_.push_back("optimize " + tag_);
        if (fail_) throw std::runtime_error("child failed");
        result.paths[0].push_back(static_cast<int64_t>(tag_.size()));
    }
    void set_return_to_end(bool) override { log_.push_back("return " + tag_); }
    void set_start_nodes(const std::vector<size_t>&) override { log_.push_back("starts " + tag_); }
    void set_end_nodes(const std::vector<size_t>&) override { log_.push_back("ends " + tag_); }
    void set_time_windows(const TimeWindowMap&) override { log_.push_back("windows " + tag_); }

private:
    std::string tag_;
    std::vector<std::string>& log_;
    bool fail_;
};

TEST(CompositePostOptimizer, ForwardsInOrderAndOwnsItsChildren) {
    std::vector<std::string> log;
    auto chain = std::make_unique<CompositePostOptimizer>();
    EXPECT_EQ(chain->name(), "CompositePostOptimizer");
    chain->add(std::make_unique<RecordingChild>("a", log));
    chain->add(std::make_unique<RecordingChild>("bb", log));
    chain->add(nullptr);
    EXPECT_EQ(chain->size(), 2u);

    chain->set_return_to_end(true);
    chain->set_start_nodes({});
    chain->set_end_nodes({});
    chain->set_time_windows({});
    Result result;
    chain->optimize(nullptr, {}, {}, result);
    EXPECT_EQ(result.paths[0], (Route{1, 2}));  // the second child saw the first one's work
    chain.reset();
    EXPECT_EQ(log, (std::vector<std::string>{"return a", "return bb", "starts a", "starts bb", "ends a", "ends bb",
                                             "windows a", "windows bb", "optimize a", "optimize bb", "~a", "~bb"}));

    log.clear();
    CompositePostOptimizer failing;
    failing.add(std::make_unique<RecordingChild>("a", log, true));
    failing.add(std::make_unique<RecordingChild>("bb", log));
    EXPECT_THROW(failing.optimize(nullptr, {}, {}, result), std::runtime_error);
    EXPECT_EQ(log, (std::vector<std::string>{"optimize a"}));
}

}  // namespace
}  // namespace dulmar
