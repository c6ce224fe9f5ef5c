#include "python/result_dict.h"

#include <algorithm>
#include <cstdint>

#include "rules/objective.h"
#include "search/anytime_filter.h"

namespace py = pybind11;

namespace dulmar {

py::dict build_result_dict(const Result& result, const Problem& problem, double solve_time) {
    py::dict out;
    out["status"] = result.paths.empty() ? "failed" : "success";
    out["timeout"] = py::bool_(result.timeout);

    py::list routes;
    CostTotals totals;
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
        totals.add(cost);
        routes.append(route);
    }
    out["routes"] = routes;

    py::dict statistics;
    statistics["solve_time"] = py::float_(solve_time);
    statistics["max_cost"] = py::float_(totals.max_cost);
    statistics["sum_cost"] = py::float_(totals.sum_cost);
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

void add_schedules(py::dict& result, const std::vector<std::vector<Stop>>& schedules) {
    const py::list routes = result["routes"];
    for (size_t a = 0; a < routes.size() && a < schedules.size(); ++a) {
        py::list stops;
        for (const Stop& stop : schedules[a]) {
            py::dict entry;
            entry["node"] = py::int_(stop.node);
            entry["arrival"] = py::float_(stop.arrival);
            entry["wait"] = py::float_(stop.wait);
            entry["start"] = py::float_(stop.start);
            entry["departure"] = py::float_(stop.departure);
            entry["load"] = py::float_(stop.load);
            stops.append(entry);
        }
        routes[a]["schedule"] = stops;
    }
}

}  // namespace dulmar
