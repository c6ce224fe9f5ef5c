#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <map>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/problem.h"
#include "driver/solve_driver.h"
#include "search/solver.h"
#include "solver_fixtures.h"

namespace dulmar {
namespace {

// An instance with every rule the stage must keep: two agent types with their
// own costs, targets only one type may visit, windows, a route limit, an
// agent whose start and end differ, and (when asked) open routes.
struct RichInstance {
    std::vector<std::pair<double, double>> points;
    Problem problem;

    double cost(const std::string& type, size_t u, size_t v) const {
        const double d = std::hypot(points[u].first - points[v].first, points[u].second - points[v].second);
        return type == "bike" ? 1.5 * d : d;
    }
};

RichInstance rich_instance(unsigned seed, size_t targets, bool return_to_end, ObjectiveType objective) {
    RichInstance inst;
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> coord(0.0, 100.0);
    // Nodes 0 and 1 are depots; targets follow.
    inst.points = {{50, 50}, {10, 90}};
    for (size_t i = 0; i < targets; ++i) inst.points.emplace_back(coord(rng), coord(rng));
    const size_t n = inst.points.size();
    Problem& p = inst.problem;
    AssignmentConstraint assignment;
    TimeWindowConstraint windows;
    for (size_t i = 0; i < n; ++i) {
        Node node;
        node.id = 100 + i;
        node.position = Position{inst.points[i].first, inst.points[i].second, 0};
        p.add_node(node);
        std::vector<std::string> types{"van", "bike"};
        if (i >= 2 && i % 5 == 0) types = {"bike"};
        if (i >= 2 && i % 7 == 0) types = {"van"};
        assignment.set_assignment(node.id, types);
        if (i >= 2 && i % 3 == 0) {
            const double open = std::uniform_real_distribution<double>(0, 150)(rng);
            windows.set_timewindow(node.id, open, open + 250);
        }
    }
    const std::vector<std::pair<std::string, std::pair<size_t, size_t>>> agents = {
        {"van", {0, 0}}, {"van", {0, 1}}, {"bike", {1, 1}}, {"bike", {0, 0}}};
    for (size_t k = 0; k < agents.size(); ++k) {
        Agent agent;
        agent.id = 7 + k;
        agent.type = agents[k].first;
        agent.start_node = 100 + agents[k].second.first;
        agent.end_node = 100 + agents[k].second.second;
        if (k == 3) agent.time_limit = 600;
        p.add_agent(agent, agent.id);
    }
    for (const std::string type : {"van", "bike"}) {
        std::vector<std::vector<double>> matrix(n, std::vector<double>(n));
        for (size_t u = 0; u < n; ++u)
            for (size_t v = 0; v < n; ++v) matrix[u][v] = inst.cost(type, u, v);
        p.set_cost_matrix(type, matrix);
    }
    p.set_assignment_constraint(assignment);
    p.set_timewindow_constraint(windows);
    p.solve_options.return_to_end = return_to_end;
    p.solve_options.objective = objective;
    return inst;
}

// Re-checks every route from the problem's own data; returns (max, sum).
std::pair<double, double> recheck(const RichInstance& inst, const Result& result) {
    const Problem& p = inst.problem;
    std::map<size_t, size_t> index;
    for (size_t i = 0; i < p.node_list.size(); ++i) index[p.node_list[i].id] = i;
    std::set<size_t> depots;
    for (const Agent& a : p.ordered_agents) depots.insert(index.at(a.start_node)), depots.insert(index.at(a.end_node));
    std::vector<int> visits(p.node_list.size(), 0);
    double largest = 0, sum = 0;
    for (size_t k = 0; k < p.ordered_agents.size(); ++k) {
        const Agent& agent = p.ordered_agents[k];
        const auto& path = result.paths.at(static_cast<int64_t>(k));
        EXPECT_GE(path.size(), 2u);
        const size_t start = index.at(agent.start_node), end = index.at(agent.end_node);
        EXPECT_EQ(static_cast<size_t>(path.front()), start);
        const size_t last = static_cast<size_t>(path.back());
        EXPECT_TRUE(last == end || (!p.solve_options.return_to_end && last == start));
        double t = 0;
        for (size_t i = 1; i < path.size(); ++i) {
            const size_t u = static_cast<size_t>(path[i - 1]), v = static_cast<size_t>(path[i]);
            const bool interior = i + 1 < path.size();
            if (interior) {
                EXPECT_EQ(depots.count(v), 0u) << "a depot inside agent " << k << "'s route";
                const auto& allowed = p.assignment_constraint.allowed_types.at(p.node_list[v].id);
                EXPECT_NE(std::find(allowed.begin(), allowed.end(), agent.type), allowed.end())
                    << "agent " << k << " may not visit node " << v;
                visits[v] += 1;
            }
            if (u != v && (p.solve_options.return_to_end || interior)) t += inst.cost(agent.type, u, v);
            const auto w = p.timewindow_constraint.windows.find(p.node_list[v].id);
            if (w != p.timewindow_constraint.windows.end()) {
                EXPECT_LE(t, w->second.second) << "late at node " << v;
                t = std::max(t, w->second.first);
            }
        }
        if (agent.time_limit > 0) {
            EXPECT_LE(t, agent.time_limit);
        }
        EXPECT_NEAR(result.times.at(static_cast<int64_t>(k)), t, 1e-6) << "agent " << k;
        largest = std::max(largest, t);
        sum += t;
    }
    for (size_t v = 0; v < visits.size(); ++v) EXPECT_EQ(visits[v], depots.count(v) ? 0 : 1) << "node " << v;
    return {largest, sum};
}

Options improving(const Problem& p, double seconds, int64_t cap = 0, int64_t seed = 0) {
    Options o = p.solve_options;
    o.improve = true;
    o.time_limit = seconds;
    o.improve_iterations = cap;
    o.seed = seed;
    return o;
}

TEST(ImprovementStage, KeepsEveryRuleAndNeverLosesToTheSearch) {
    for (bool return_to_end : {true, false}) {
        for (ObjectiveType objective : {ObjectiveType::MinMax, ObjectiveType::MinSum}) {
            const RichInstance inst = rich_instance(return_to_end ? 3 : 4, 24, return_to_end, objective);
            Solver solver(inst.problem, improving(inst.problem, 2.0, 3000, 1));
            ASSERT_EQ(run_solve(solver), 1);
            const Result result = solver.get_result();
            const auto kept = recheck(inst, result);
            EXPECT_GT(result.improve_iterations, 0);

            // Every anytime snapshot is a valid solution (the search's come
            // first), and none is better than the result.
            const bool min_max = objective == ObjectiveType::MinMax;
            const auto process = solver.get_result_process();
            ASSERT_FALSE(process.empty());
            for (const auto& [time, snapshot] : process) {
                const auto seen = recheck(inst, snapshot);
                EXPECT_LE(min_max ? kept.first : kept.second, (min_max ? seen.first : seen.second) + 1e-9);
            }
            EXPECT_EQ(process.back().second.paths, result.paths);
        }
    }
}

TEST(ImprovementStage, ASeedAndAnIterationCapMakeTheRunRepeatable) {
    const RichInstance inst = rich_instance(9, 30, true, ObjectiveType::MinMax);
    std::vector<Result> runs;
    for (int k = 0; k < 2; ++k) {
        Solver solver(inst.problem, improving(inst.problem, 10.0, 400, 42));
        ASSERT_EQ(run_solve(solver), 1);
        runs.push_back(solver.get_result());
        EXPECT_EQ(runs.back().improve_iterations, 400);
    }
    EXPECT_EQ(runs[0].paths, runs[1].paths);
    EXPECT_EQ(runs[0].times, runs[1].times);
}

TEST(ImprovementStage, BuildsItsOwnSolutionWhenTheSearchFindsNone) {
    // Windows cut from a known schedule: four agents, each serving a loop of
    // targets in order; every window is tight around that schedule.
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    Problem p;
    const size_t loops = 4, per_loop = 25;
    std::vector<std::pair<double, double>> pts{{0, 0}};
    std::vector<std::pair<double, double>> window{{0, 1e9}};
    for (size_t l = 0; l < loops; ++l) {
        double t = 0;
        std::pair<double, double> at{0, 0};
        for (size_t i = 0; i < per_loop; ++i) {
            const double angle = 2 * M_PI * (l + unit(rng)) / loops;
            const double radius = 10 + 60 * unit(rng);
            const std::pair<double, double> next{radius * std::cos(angle), radius * std::sin(angle)};
            t += std::hypot(next.first - at.first, next.second - at.second);
            pts.push_back(next);
            window.emplace_back(t - 5, t + 5);
            at = next;
        }
    }
    const size_t n = pts.size();
    AssignmentConstraint assignment;
    TimeWindowConstraint windows;
    std::vector<std::vector<double>> matrix(n, std::vector<double>(n));
    for (size_t i = 0; i < n; ++i) {
        Node node;
        node.id = i;
        node.position = Position{pts[i].first, pts[i].second, 0};
        p.add_node(node);
        assignment.set_assignment(i, {"car"});
        if (i > 0) windows.set_timewindow(i, window[i].first, window[i].second);
        for (size_t j = 0; j < n; ++j)
            matrix[i][j] = std::hypot(pts[i].first - pts[j].first, pts[i].second - pts[j].second);
    }
    for (size_t k = 0; k < loops + 2; ++k) {
        Agent agent;
        agent.id = k;
        agent.type = "car";
        p.add_agent(agent, k);
    }
    p.set_cost_matrix("car", matrix);
    p.set_assignment_constraint(assignment);
    p.set_timewindow_constraint(windows);
    p.solve_options.objective = ObjectiveType::MinSum;

    Solver solver(p, improving(p, 3.0, 200, 1));
    ASSERT_EQ(run_solve(solver), 1);
    const Result result = solver.get_result();
    std::vector<int> seen(n, 0);
    for (const auto& [agent, path] : result.paths) {
        double t = 0;
        for (size_t i = 1; i < path.size(); ++i) {
            const size_t u = static_cast<size_t>(path[i - 1]), v = static_cast<size_t>(path[i]);
            t += matrix[u][v];
            if (v != 0) {
                ASSERT_LE(t, window[v].second);
                t = std::max(t, window[v].first);
                seen[v] += 1;
            }
        }
        EXPECT_NEAR(result.times.at(agent), t, 1e-6);
    }
    for (size_t v = 1; v < n; ++v) EXPECT_EQ(seen[v], 1) << "node " << v;
}

TEST(ImprovementStage, StaysFailedWhenATargetFitsNowhere) {
    RichInstance inst = rich_instance(2, 10, true, ObjectiveType::MinMax);
    // Routes too short to serve any target.
    for (Agent& agent : inst.problem.ordered_agents) agent.time_limit = 1e-3;
    Solver solver(inst.problem, improving(inst.problem, 1.0, 50));
    EXPECT_EQ(run_solve(solver), 0);
    EXPECT_TRUE(solver.get_result().paths.empty());
}

TEST(ImprovementStage, OffByDefault) {
    const RichInstance inst = rich_instance(3, 12, true, ObjectiveType::MinMax);
    Options plain = inst.problem.solve_options;
    plain.time_limit = 0.5;
    Solver a(inst.problem, plain);
    run_solve(a);
    Solver b(inst.problem, plain);
    b.search();
    EXPECT_EQ(a.get_result().paths, b.get_result().paths);
    EXPECT_EQ(a.get_result().improve_iterations, 0);
}

// ---- the stage on several threads

// Records what the solve tells it and on which thread; says stop as asked.
class ThreadsControl : public SolveControl {
public:
    StopReason poll() override {
        threads.push_back(std::this_thread::get_id());
        return !seen.empty() && interrupt ? StopReason::Interrupted : StopReason::None;
    }
    bool on_improvement(double time, double max_cost, double sum_cost) override {
        threads.push_back(std::this_thread::get_id());
        seen.push_back({time, max_cost, sum_cost});
        if (static_cast<int>(seen.size()) == throw_at) throw std::runtime_error("from the control");
        return static_cast<int>(seen.size()) < stop_at;
    }
    std::vector<std::thread::id> threads;
    struct Entry {
        double time, max_cost, sum_cost;
    };
    std::vector<Entry> seen;
    int stop_at = 1 << 30;
    int throw_at = -1;
    bool interrupt = false;
};

Options on_threads(const Problem& p, int64_t threads, double seconds, int64_t cap, int64_t seed = 7) {
    Options o = improving(p, seconds, cap, seed);
    o.threads = threads;
    return o;
}

TEST(ImprovementStageThreads, TheSharedBestKeepsEveryRuleAndIsReportedInOrderOnTheCallingThread) {
    for (int64_t threads : {2, 3}) {
        for (bool return_to_end : {true, false}) {
            const ObjectiveType objective = return_to_end ? ObjectiveType::MinMax : ObjectiveType::MinSum;
            const bool min_max = objective == ObjectiveType::MinMax;
            const RichInstance inst = rich_instance(static_cast<unsigned>(threads) + 5, 24, return_to_end, objective);
            // Capped, and time-limited (no barriers).
            for (int64_t cap : {600, 0}) {
                Solver solver(inst.problem, on_threads(inst.problem, threads, cap ? 5.0 : 0.5, cap));
                ThreadsControl control;
                solver.control = &control;
                ASSERT_EQ(run_solve(solver), 1);
                const Result result = solver.get_result();
                const auto kept = recheck(inst, result);
                if (cap) {
                    EXPECT_EQ(result.improve_iterations, threads * cap);
                }
                if (cap) {
                    EXPECT_EQ(result.stop_reason, StopReason::Iterations);
                } else {
                    EXPECT_TRUE(result.stop_reason == StopReason::TimeLimit ||
                                result.stop_reason == StopReason::NoImprovement);
                }

                const auto process = solver.get_result_process();
                ASSERT_FALSE(process.empty());
                EXPECT_EQ(process.back().second.paths, result.paths);
                double previous_time = 0.0, previous = 1e18;
                for (const auto& [time, snapshot] : process) {
                    const auto seen = recheck(inst, snapshot);
                    const double value = min_max ? seen.first : seen.second;
                    EXPECT_LE(value, previous + 1e-9) << "a worse solution reported after a better one";
                    EXPECT_GE(time, previous_time);
                    previous = std::min(previous, value);
                    previous_time = time;
                }
                EXPECT_NEAR(min_max ? kept.first : kept.second, previous, 1e-9);
                // The control hears of each strictly better solution, the best last.
                ASSERT_FALSE(control.seen.empty());
                for (size_t k = 1; k < control.seen.size(); ++k) {
                    const auto& a = control.seen[k - 1];
                    const auto& b = control.seen[k];
                    EXPECT_LT(min_max ? b.max_cost : b.sum_cost, (min_max ? a.max_cost : a.sum_cost) - 1e-9);
                }
                const auto& last = control.seen.back();
                EXPECT_NEAR(min_max ? last.max_cost : last.sum_cost, min_max ? kept.first : kept.second, 1e-9);
                for (const std::thread::id id : control.threads) ASSERT_EQ(id, std::this_thread::get_id());
            }
        }
    }
}

TEST(ImprovementStageThreads, EveryWorkerStopsWhenTheCallerSaysSoOrThrows) {
    // Beyond the search's size the stage builds the first solution, so
    // every report comes from the workers.
    RichInstance inst;
    inst.problem = testing_support::euclidean_problem(testing_support::random_points(300, 11), 4);
    for (const Node& node : inst.problem.node_list) inst.points.emplace_back(node.position.x, node.position.y);
    for (int mode = 0; mode < 3; ++mode) {
        Solver solver(inst.problem, on_threads(inst.problem, 2, 600.0, 0));
        ThreadsControl control;
        control.stop_at = mode == 0 ? 3 : 1 << 30;
        control.interrupt = mode == 1;
        control.throw_at = mode == 2 ? 2 : -1;
        solver.control = &control;
        const auto began = std::chrono::steady_clock::now();
        if (mode == 2) {
            EXPECT_THROW(run_solve(solver), std::runtime_error);
            EXPECT_EQ(control.seen.size(), 2u);
        } else {
            ASSERT_EQ(run_solve(solver), 1);
            EXPECT_EQ(solver.stop_reason, mode == 0 ? StopReason::Callback : StopReason::Interrupted);
            EXPECT_FALSE(solver.get_result().timeout);
            recheck(inst, solver.get_result());
            // Nothing is reported once the control said stop.
            if (mode == 0) {
                EXPECT_EQ(control.seen.size(), 3u);
            }
        }
        // Far from the 600 s budget: the workers did not run on.
        EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count(), 300.0);
    }
}

}  // namespace
}  // namespace dulmar
