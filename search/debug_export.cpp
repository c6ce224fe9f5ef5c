#include <filesystem>
#include <fstream>
#include <string>

#include <nlohmann/json.hpp>

#include "core/diagnostics.h"
#include "search/solver.h"

namespace dulmar {

void Solver::write_debug_paths() {
    nlohmann::json document = nlohmann::json::object();
    document["goals"] = nlohmann::json::array();
    for (size_t node : end_nodes) document["goals"].push_back(node);
    document["max_path_length"] = best_max_cost;
    document["num_agents"] = agent_count;

    // Missing keys read as an empty route or 0.0 and are created on the way.
    nlohmann::json paths;  // stays null when there are no routes
    const int64_t route_count = static_cast<int64_t>(result.paths.size());
    for (int64_t k = 0; k < route_count; ++k) {
        const std::vector<int64_t>& route = result.paths[k];
        nlohmann::json trimmed = nlohmann::json::array();
        for (size_t i = 0; i + 1 < route.size(); ++i) trimmed.push_back(route[i]);
        paths[std::to_string(k)] = std::move(trimmed);
    }
    document["paths"] = std::move(paths);

    document["starts"] = nlohmann::json::array();
    for (size_t node : start_nodes) document["starts"].push_back(node);

    nlohmann::json total_costs;
    const int64_t cost_count = static_cast<int64_t>(result.times.size());
    for (int64_t k = 0; k < cost_count; ++k) total_costs.push_back(result.times[k]);
    document["total_costs"] = std::move(total_costs);

    std::filesystem::create_directories("paths/paths_astar");
    const std::string file_name = "paths/paths_astar/" + debug_name + "_astar.json";
    std::ofstream out(file_name, std::ios::out | std::ios::trunc);
    if (!out.is_open()) {
        diagnostic(DiagnosticStream::Err, "Error: cannot open " + file_name + " for writing.");
        return;
    }
    out << document.dump(2) << "\n";
    out.close();
    diagnostic(DiagnosticStream::Out, "Saved to " + file_name);
}

}  // namespace dulmar
