#include "core/problem.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <string>

namespace dulmar {

namespace {

// The number in a cgroup limit file; 0 for "max", a missing file or junk.
double limit_in(const std::string& file) {
    std::ifstream in(file);
    std::string word;
    if (!(in >> word) || word == "max") return 0.0;
    char* end = nullptr;
    const double bytes = std::strtod(word.c_str(), &end);
    return end != nullptr && *end == '\0' && bytes > 0.0 ? bytes : 0.0;
}

}  // namespace

double cgroup_memory_limit_bytes(const std::string& self_cgroup, const std::string& root) {
    std::ifstream in(self_cgroup);
    double smallest = 0.0;
    std::string line;
    while (std::getline(in, line)) {
        // "hierarchy:controllers:path": v2 has hierarchy 0 and no controllers, v1 lists "memory".
        const size_t first = line.find(':');
        const size_t second = first == std::string::npos ? first : line.find(':', first + 1);
        if (second == std::string::npos) continue;
        const std::string controllers = line.substr(first + 1, second - first - 1);
        std::string path = line.substr(second + 1);
        std::string base, file;
        if (controllers.empty() && line.compare(0, first, "0") == 0) {
            base = root;
            file = "memory.max";
        } else if (("," + controllers + ",").find(",memory,") != std::string::npos) {
            base = root + "/memory";
            file = "memory.limit_in_bytes";
        } else {
            continue;
        }
        // A cgroup holds at most what each of its ancestors allows.
        for (;;) {
            const double bytes = limit_in(base + path + (path.empty() || path.back() != '/' ? "/" : "") + file);
            if (bytes > 0.0 && (smallest == 0.0 || bytes < smallest)) smallest = bytes;
            const size_t slash = path.find_last_of('/');
            if (path.empty() || path == "/" || slash == std::string::npos) break;
            path = slash == 0 ? "/" : path.substr(0, slash);
        }
    }
    return smallest;
}

double default_memory_limit_mb() {
    static constexpr double kMostMb = 8192.0;
    static const double computed = [] {
        double most = kMostMb;
        const long pages = sysconf(_SC_PHYS_PAGES);
        const long page_size = sysconf(_SC_PAGE_SIZE);
        if (pages > 0 && page_size > 0) {
            most = std::min(most, static_cast<double>(pages) * static_cast<double>(page_size) / 2.0 / 1048576.0);
        }
        // Half of the container's limit too: the cap counts the solver's own
        // tables and search, and the interpreter and the caller's data need room
        // beside them before the kernel's limit ends the process.
        const double container = cgroup_memory_limit_bytes("/proc/self/cgroup", "/sys/fs/cgroup");
        if (container > 0.0) most = std::min(most, container / 2.0 / 1048576.0);
        return std::floor(most);
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

PrecedenceType precedence_type(const std::string& type) {
    if (type == "same") return PrecedenceType::Same;
    return type == "diff" ? PrecedenceType::Diff : PrecedenceType::Any;
}

void Problem::add_precedence(size_t before, size_t after, const std::string& type) {
    const PrecedenceType kind = precedence_type(type);
    PrecedenceList& list = kind == PrecedenceType::Same   ? precedence_same
                           : kind == PrecedenceType::Diff ? precedence_diff
                                                          : precedence;
    list.emplace_back(before, after);
}

}  // namespace dulmar
