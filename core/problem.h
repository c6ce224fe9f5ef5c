// Value types describing one MTSP instance: nodes, agents, cost matrices per
// agent type, constraints and solve options. Filled by the JSON reader or by
// hand, then copied into a Solver; every copy is deep.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/cost_metric.h"

namespace dulmar {

enum class ObjectiveType : int32_t { MinMax = 0, MinSum = 1 };

enum class NodeType : int32_t { DEPOT = 0, TARGET = 1 };

struct Position {
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;
};

struct Node {
    size_t id = 0;
    Position position;
    NodeType type = NodeType::TARGET;
    double demand = 0.0;
    double service = 0.0;  // time spent at the node; none at an agent's start or end node
};

struct Agent {
    size_t id = 0;
    std::string type;
    size_t start_node = 0;
    size_t end_node = 0;
    double capacity_limit = 0.0;  // 0: no limit
    double time_limit = 0.0;  // 0 or less: no limit
};

// The default cap in megabytes: half of the physical memory, half of the
// container's limit (cgroup_memory_limit_bytes) or 8192, whichever is least.
double default_memory_limit_mb();

// The memory limit of the process's cgroup and its ancestors in bytes, read
// from `self_cgroup` (/proc/self/cgroup) and the cgroup folders under `root`
// (/sys/fs/cgroup): v2 memory.max, v1 memory/.../memory.limit_in_bytes. 0
// when there is none ("max", no such file). v1's "no limit" is a huge number.
double cgroup_memory_limit_bytes(const std::string& self_cgroup, const std::string& root);

struct Options {
    bool return_to_end = true;
    ObjectiveType objective = ObjectiveType::MinSum;
    double time_limit = 60.0;  // processor seconds for the search
    // Keep improving the search's solution with the improvement stage for
    // the rest of the budget.
    bool improve = false;
    int64_t seed = 0;                // the stage's random seed
    int64_t improve_iterations = 0;  // the stage's iteration cap; 0: none
    // Workers of the improvement stage, each on a thread of its own with its
    // own processor-time budget; 1 runs the stage on the solving thread.
    int64_t threads = 1;
    // Cap on what the search's state pool and sets may hold, in megabytes
    // (2^20 bytes); 0 means no cap. The default is worked out when the
    // options are constructed, so it can be read back.
    double memory_limit_mb = default_memory_limit_mb();
    // The demands on a route may not exceed its agent's capacity.
    bool enforce_capacity = false;
    // The JSON road adds every route's timetable to its result.
    bool schedule = false;
    // The problem's precedence pairs hold: "same" pairs on one route in
    // order, "diff" pairs on two routes, and service at a pair's after node
    // waits for the end of service at its before node ("diff" and any other type).
    bool enforce_precedence = false;
};

struct AssignmentConstraint {
    // node id -> agent type names allowed to visit it; an empty list allows nobody
    std::unordered_map<size_t, std::vector<std::string>> allowed_types;

    void set_assignment(size_t node, const std::vector<std::string>& types);
};

struct TimeWindowConstraint {
    // node id -> (start, end)
    std::unordered_map<size_t, std::pair<double, double>> windows;

    void set_timewindow(size_t node, double start, double end);
};

using CostMatrix = std::vector<std::vector<double>>;
using PrecedenceList = std::vector<std::pair<size_t, size_t>>;

// The list a precedence pair goes to by its type: exactly "same", exactly
// "diff", or any other text.
enum class PrecedenceType : unsigned char { Any = 0, Same = 1, Diff = 2 };
PrecedenceType precedence_type(const std::string& type);

// Nodes and the ordered agents live in deques so that references handed out
// by nodes() and agents_ordered() stay valid while more are added.
class Problem {
public:
    std::deque<Node> node_list;
    std::unordered_map<size_t, Agent> agents;
    size_t num_agents = 0;
    size_t num_nodes = 0;
    std::unordered_map<std::string, CostMatrix> cost_matrices;
    // Types whose costs come from the node positions; a type has a matrix or a
    // metric, whichever was set last.
    std::unordered_map<std::string, CostMetric> cost_metrics;
    AssignmentConstraint assignment_constraint;
    TimeWindowConstraint timewindow_constraint;
    PrecedenceList precedence;
    PrecedenceList precedence_same;
    PrecedenceList precedence_diff;
    Options solve_options;
    std::deque<Agent> ordered_agents;
    std::unordered_map<size_t, size_t> agent_index;      // agent id -> latest entry in ordered_agents
    std::vector<size_t> agent_keys;  // the id each entry of ordered_agents was added under
    std::unordered_map<std::string, size_t> type_index;  // type name -> type number, first-seen order
    std::vector<std::string> agent_types;
    std::unordered_map<size_t, size_t> agent_type_of;    // agent id -> type number

    void add_node(Node node);
    // Files the agent under `id`, which may differ from agent.id.
    void add_agent(const Agent& agent, size_t id);
    void set_cost_matrix(const std::string& agent_type, CostMatrix matrix);
    // Costs of `agent_type` from the nodes' x and y (see make_cost_metric);
    // a bad name or factor raises std::invalid_argument.
    void set_cost_metric(const std::string& agent_type, const std::string& metric, double factor = 1.0,
                         const std::string& round = "");
    void set_assignment_constraint(const AssignmentConstraint& constraint);
    void set_timewindow_constraint(const TimeWindowConstraint& constraint);
    // Appends the pair of node ids to precedence_same ("same"), precedence_diff
    // ("diff") or precedence (any other type), as the JSON reader does.
    void add_precedence(size_t before, size_t after, const std::string& type = "");

    std::deque<Node>& nodes() { return node_list; }
    Options& options() { return solve_options; }
    std::deque<Agent>& agents_ordered() { return ordered_agents; }
};

}  // namespace dulmar
