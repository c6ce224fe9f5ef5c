// libFuzzer target for the JSON road: text -> parser -> reader -> solver set-up,
// and a short solve (with the improvement stage when asked) on small instances.
// Bad input may raise the documented exceptions; anything else (a crash, a
// sanitizer report, another exception, a hang, a route whose cost is not its
// own evaluation in this assert-enabled build, a solution that does not serve
// every target once) is a finding.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <unordered_set>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/json_reader.h"
#include "driver/solve_driver.h"
#include "search/solver.h"

namespace {

using dulmar::Problem;
using dulmar::Solver;

// Set-up is quadratic in nodes times types and the search exponential: both are capped.
constexpr size_t kSetUpNodes = 64;
constexpr size_t kSetUpTypes = 8;
constexpr size_t kSearchNodes = 10;
constexpr size_t kSearchAgents = 4;
constexpr double kSearchSeconds = 0.02;

std::ostringstream sink;

// Every node that is no agent's start or end node must appear exactly once
// inside the routes of a solution.
void check_targets_served(const Solver& solver) {
    std::unordered_set<size_t> depots(solver.start_nodes.begin(), solver.start_nodes.end());
    depots.insert(solver.end_nodes.begin(), solver.end_nodes.end());
    std::vector<int> seen(solver.nodes.size(), 0);
    for (const auto& [agent, path] : solver.result.paths) {
        for (size_t i = 1; i + 1 < path.size(); ++i) {
            if (path[i] < 0 || static_cast<size_t>(path[i]) >= seen.size()) std::abort();
            ++seen[static_cast<size_t>(path[i])];
        }
    }
    for (size_t v = 0; v < seen.size(); ++v) {
        if (depots.count(v) == 0 && seen[v] != 1) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The solver's own diagnostics would only slow the run down.
    std::cout.rdbuf(sink.rdbuf());
    std::cerr.rdbuf(sink.rdbuf());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    sink.str(std::string());
    const std::string text(reinterpret_cast<const char*>(data), size);
    nlohmann::json document;
    try {
        document = nlohmann::json::parse(text);
    } catch (const nlohmann::json::exception&) {
        return 0;  // bad syntax, or a number too large for a double
    }
    Problem problem;
    try {
        dulmar::read_problem_json(document, problem);
    } catch (const nlohmann::json::type_error&) {
        return 0;
    } catch (const nlohmann::json::out_of_range&) {
        return 0;
    } catch (const std::invalid_argument&) {
        return 0;
    }
    if (problem.node_list.size() > kSetUpNodes || problem.type_index.size() > kSetUpTypes ||
        problem.ordered_agents.size() > kSetUpNodes) {
        return 0;
    }
    const bool searched = problem.node_list.size() <= kSearchNodes && problem.ordered_agents.size() <= kSearchAgents;
    if (searched && problem.solve_options.time_limit > 0) {
        problem.solve_options.time_limit = std::min(problem.solve_options.time_limit, kSearchSeconds);
    }
    try {
        Solver solver(problem, problem.solve_options);
        if (searched && run_solve(solver) == 1) check_targets_served(solver);
    } catch (const std::invalid_argument&) {
    } catch (const std::out_of_range&) {
    }
    return 0;
}
