#include "python/json_entry.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <thread>

#include <nlohmann/json.hpp>

#include "core/json_reader.h"
#include "python/bindings.h"
#include "python/python_solve_control.h"
#include "search/anytime_filter.h"
#include "search/solver.h"

namespace py = pybind11;

namespace dulmar {

namespace {

const char* const kSolveFileDoc =
    "Solve an MTSP instance from a JSON file path.\nReturns a dict with keys: status, routes, statistics, anytime, "
    "timeout.";
const char* const kSolveStrDoc =
    "Solve an MTSP instance from a JSON string.\nReturns a dict with keys: status, routes, statistics, anytime, "
    "timeout.";

// Freeing a search takes about 2 ms per megabyte it held (seconds for a long
// solve); past this size a thread of its own frees it, so that the caller,
// and a Ctrl-C, get the answer without waiting.
constexpr size_t kFreeAsideBytes = size_t{32} << 20;

void free_solver(std::unique_ptr<Solver> solver) {
    if (solver->search_memory.bytes < kFreeAsideBytes) return;
    try {
        std::thread([doomed = std::move(solver)]() mutable { doomed.reset(); }).detach();
    } catch (const std::exception&) {
        // No thread to spare (system_error, bad_alloc): the solver was freed right here instead.
    }
}

}  // namespace

py::dict build_result_dict(const Result& result, const Problem& problem, double solve_time) {
    py::dict out;
    out["status"] = result.paths.empty() ? "failed" : "success";
    out["timeout"] = py::bool_(result.timeout);

    py::list routes;
    double sum_cost = 0.0;
    double max_cost = 0.0;
    const auto& ordered = problem.ordered_agents;
    for (size_t position = 0; position < ordered.size(); ++position) {
        // Routes are keyed by the agent's position in add order, whatever its id.
        const int64_t key = static_cast<int64_t>(position);
        py::dict route;
        route["agent_id"] = py::int_(static_cast<size_t>(ordered[position].id));
        py::list path;
        auto found_path = result.paths.find(key);
        if (found_path != result.paths.end()) {
            for (int64_t node : found_path->second) path.append(py::int_(node));
        }
        route["path"] = path;
        auto found_cost = result.times.find(key);
        const double cost = found_cost == result.times.end() ? 0.0 : found_cost->second;
        route["cost"] = py::float_(cost);
        sum_cost += cost;
        max_cost = std::max(max_cost, cost);
        routes.append(route);
    }
    out["routes"] = routes;

    py::dict statistics;
    statistics["solve_time"] = py::float_(solve_time);
    statistics["max_cost"] = py::float_(max_cost);
    statistics["sum_cost"] = py::float_(sum_cost);
    statistics["n_generated"] = py::int_(result.n_generated);
    statistics["n_expanded"] = py::int_(result.n_expanded);
    statistics["last_update_time"] = py::float_(result.last_update_time);
    statistics["improve_iterations"] = py::int_(result.improve_iterations);
    statistics["stop_reason"] = py::str(stop_reason_name(result.stop_reason));
    out["statistics"] = statistics;
    return out;
}

py::dict anytime_entry(double time, double max_cost, double sum_cost) {
    py::dict item;
    item["time"] = py::float_(time);
    item["max_cost"] = py::float_(max_cost);
    item["sum_cost"] = py::float_(sum_cost);
    return item;
}

py::list build_anytime_list(const std::vector<std::pair<double, Result>>& snapshots, bool min_sum) {
    py::list entries;
    AnytimeFilter filter(min_sum);
    for (const auto& [time, snapshot] : snapshots) {
        const CostTotals totals = cost_totals(snapshot);
        if (filter.admit(totals)) entries.append(anytime_entry(time, totals.max_cost, totals.sum_cost));
    }
    return entries;
}

namespace {

// Fills `problem` without the interpreter lock; the document is freed on
// return, before any of the Solver's tables exist.
void read_problem_text(const std::string& json_str, Problem& problem) {
    py::gil_scoped_release unlocked;
    read_problem_json(nlohmann::json::parse(json_str), problem);
}

// The instance's matrices are freed once the Solver holds its own tables: on
// large instances they and the document are the biggest things in memory.
py::dict solve_problem(Problem& problem, double time_limit, PythonSolveControl& control) {
    double solve_time = 0.0;
    Result best;
    std::vector<std::pair<double, Result>> snapshots;
    {
        // Nothing in here touches a Python object: other threads run meanwhile.
        py::gil_scoped_release unlocked;
        if (time_limit > 0.0) problem.solve_options.time_limit = time_limit;

        const auto t0 = std::chrono::system_clock::now();
        auto solver = std::make_unique<Solver>(problem, problem.solve_options);
        decltype(problem.cost_matrices)().swap(problem.cost_matrices);
        {
            const PythonSolveControl::Attached attached(*solver, control);
            solver->solve();
        }
        const auto t1 = std::chrono::system_clock::now();
        solve_time = static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(t1 - t0).count()) / 1e9;

        best = solver->get_result();
        snapshots = solver->get_result_process();
        free_solver(std::move(solver));
    }
    const bool min_sum = problem.solve_options.objective == ObjectiveType::MinSum;
    py::dict out = build_result_dict(best, problem, solve_time);
    out["anytime"] = build_anytime_list(snapshots, min_sum);
    control.raise_pending(out);
    return out;
}

}  // namespace

py::dict solve_json_str(const std::string& json_str, double time_limit, py::object on_improvement) {
    PythonSolveControl control(std::move(on_improvement));
    Problem problem;
    read_problem_text(json_str, problem);
    return solve_problem(problem, time_limit, control);
}

py::dict solve_json_file(const std::string& input_path, double time_limit, py::object on_improvement) {
    std::ifstream in(input_path, std::ios::in | std::ios::binary);
    if (!in.is_open()) throw std::runtime_error("Cannot open file: " + input_path);
    PythonSolveControl control(std::move(on_improvement));
    Problem problem;
    {
        const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        read_problem_text(text, problem);
    }
    return solve_problem(problem, time_limit, control);
}

void bind_json_entry(py::module_& module) {
    module.def("solve_json_file", &solve_json_file, kSolveFileDoc, py::arg("input_path"), py::arg("time_limit") = -1,
               py::kw_only(), py::arg("on_improvement") = py::none());
    module.def("solve_json_str", &solve_json_str, kSolveStrDoc, py::arg("json_str"), py::arg("time_limit") = -1,
               py::kw_only(), py::arg("on_improvement") = py::none());
}

}  // namespace dulmar
