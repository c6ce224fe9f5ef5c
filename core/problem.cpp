#include "core/problem.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>

namespace dulmar {

double default_memory_limit_mb() {
    static constexpr double kMostMb = 8192.0;
    static const double computed = [] {
        const long pages = sysconf(_SC_PHYS_PAGES);
        const long page_size = sysconf(_SC_PAGE_SIZE);
        if (pages <= 0 || page_size <= 0) return kMostMb;
        const double half_mb = static_cast<double>(pages) * static_cast<double>(page_size) / 2.0 / 1048576.0;
        return std::min(std::floor(half_mb), kMostMb);
    }();
    return computed;
}

void AssignmentConstraint::set_assignment(size_t node, const std::vector<std::string>& types) {
    allowed_types[node] = types;
}

void TimeWindowConstraint::set_timewindow(size_t node, double start, double end) {
    windows[node] = {start, end};
}

void Problem::add_node(Node node) {
    node_list.push_back(std::move(node));
    num_nodes = node_list.size();
}

void Problem::add_agent(const Agent& agent, size_t id) {
    auto found = type_index.find(agent.type);
    size_t type_number;
    if (found == type_index.end()) {
        type_number = type_index.size();
        type_index.emplace(agent.type, type_number);
        agent_types.push_back(agent.type);
    } else {
        type_number = found->second;
    }
    agent_type_of[id] = type_number;
    agent_index[id] = ordered_agents.size();
    agent_keys.push_back(id);
    ordered_agents.push_back(agent);
    agents[id] = agent;
    num_agents = agents.size();
}

void Problem::set_cost_matrix(const std::string& agent_type, CostMatrix matrix) {
    cost_matrices[agent_type] = std::move(matrix);
    cost_metrics.erase(agent_type);
}

void Problem::set_cost_metric(const std::string& agent_type, const std::string& metric, double factor,
                              const std::string& round) {
    cost_metrics[agent_type] = make_cost_metric(agent_type, metric, factor, round);
    cost_matrices.erase(agent_type);
}

void Problem::set_assignment_constraint(const AssignmentConstraint& constraint) {
    assignment_constraint = constraint;
}

void Problem::set_timewindow_constraint(const TimeWindowConstraint& constraint) {
    timewindow_constraint = constraint;
}

}  // namespace dulmar
