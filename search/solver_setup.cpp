#include <algorithm>
#include <cmath>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>

#include "core/diagnostics.h"
#include "graph/sparse_graph.h"
#include "plugins/constraint_checkers.h"
#include "plugins/default_expansion.h"
#include "plugins/default_focal_comparator.h"
#include "plugins/default_heuristic.h"
#include "plugins/objectives.h"
#include "postopt/composite_post_optimizer.h"
#include "postopt/default_post_optimizer.h"
#include "postopt/route_merging_post_optimizer.h"
#include "improve/improving_solve.h"
#include "search/solver.h"

namespace dulmar {

namespace {

// A number as people write it: "60", "-1", "nan", "inf", "0.25".
std::string number_text(double value) {
    std::ostringstream text;
    text << value;
    return text.str();
}

// Service times, demands and capacities are never negative or NaN; service
// times and demands add up along routes, so they must be finite too.
void require_quantity(double value, const char* owner, size_t id, const char* key, bool finite) {
    if (value >= 0.0 && (!finite || std::isfinite(value))) return;
    std::ostringstream text;
    text << owner << " " << id << ": " << key << " " << value << " is not a " << (finite ? "finite " : "")
         << "number >= 0";
    throw std::invalid_argument(text.str());
}

void require_budget(double seconds) {
    if (!(seconds > 0.0)) {
        throw std::invalid_argument("time_limit must be a positive number of seconds, got " + number_text(seconds));
    }
}

size_t lookup_agent_node(const std::unordered_map<size_t, size_t>& node_index, const Agent& agent,
                         size_t node_id, const char* role) {
    auto found = node_index.find(node_id);
    if (found == node_index.end()) {
        throw std::out_of_range("agent " + std::to_string(agent.id) + ": " + role + " " + std::to_string(node_id) +
                                " is not the id of any node");
    }
    return found->second;
}

// NaN bounds, a start after the end, or a window that never opens.
void require_window(size_t node_id, double start, double end) {
    const std::string where = "time window of node " + std::to_string(node_id);
    if (std::isnan(start) || std::isnan(end)) {
        throw std::invalid_argument(where + ": start " + number_text(start) + " and end " + number_text(end) +
                                    " must be numbers");
    }
    if (start > end) {
        throw std::invalid_argument(where + ": start " + number_text(start) + " is after end " + number_text(end));
    }
    if (start == std::numeric_limits<double>::infinity()) {
        throw std::invalid_argument(where + ": start is inf, so it never opens");
    }
}

size_t memory_cap_from_mb(double megabytes) {
    if (!(megabytes >= 0.0)) {
        std::ostringstream text;
        text << "memory_limit_mb " << megabytes << " is neither 0 (no cap) nor a positive number of megabytes";
        throw std::invalid_argument(text.str());
    }
    const double bytes = std::ceil(megabytes * 1048576.0);
    if (bytes >= static_cast<double>(std::numeric_limits<size_t>::max())) return std::numeric_limits<size_t>::max();
    return static_cast<size_t>(bytes);
}

}  // namespace

void require_search_size(size_t node_count) {
    if (node_count > kMaxNodes) {
        throw std::invalid_argument("instance has " + std::to_string(node_count) +
                                    " nodes; the search handles at most " + std::to_string(kMaxNodes) +
                                    "; the option \"improve\": true (Options.improve, vok solve --improve) "
                                    "lifts the limit");
    }
}

Solver::Solver(const Problem& problem, Options options)
    : focal(FocalOrder{&focal_comparator}, CountingAllocator<FocalEntry>(&search_memory)) {
    require_budget(options.time_limit);
    focal_comparator = std::make_unique<DefaultFocalComparator>();
    heuristic = std::make_unique<DefaultHeuristic>();
    post_optimizer = std::make_unique<DefaultPostOptimizer>();
    constraint_checker = std::make_unique<DefaultConstraintChecker>();
    expansion = std::make_unique<DefaultExpansion>();
    objective = std::make_unique<DefaultObjective>();

    build_tables(problem);
    if (nodes.size() > kMaxNodes && options.improve) {
        auto table = std::make_shared<CostTable>();
        table->build(nodes.size(), type_count, cost_layers(problem, nullptr));
        dense_costs = std::move(table);
    } else {
        build_graph(problem);
    }
    install_plugins(options);
    graph = owned_graph.get();
    this->options = options;
    time_limit = options.time_limit;
    memory_cap_bytes = memory_cap_from_mb(options.memory_limit_mb);
    return_to_end = options.return_to_end;
    min_sum = options.objective == ObjectiveType::MinSum;
    // The search's bound and plug-ins are never used on a large instance.
    if (!large_instance()) prepare();
}

Solver::~Solver() = default;

void Solver::build_tables(const Problem& problem) {
    if (problem.node_list.empty()) throw std::invalid_argument("instance has no nodes");
    if (problem.ordered_agents.empty()) throw std::invalid_argument("instance has no agents");

    type_index = problem.type_index;
    for (const Node& node : problem.node_list) {
        require_quantity(node.service, "node", node.id, "service", true);
        require_quantity(node.demand, "node", node.id, "demand", true);
        auto [entry, fresh] = node_index.emplace(node.id, nodes.size());
        if (!fresh) {
            throw std::invalid_argument("node id " + std::to_string(node.id) + " is used twice: by nodes[" +
                                        std::to_string(entry->second) + "] and nodes[" +
                                        std::to_string(nodes.size()) + "]");
        }
        nodes.push_back(
            NodeRecord{node.position.x, node.position.y, node.position.z, node.id, {}, node.service, node.demand});
    }

    // An agent's id is the one it was added under (its own id on the JSON road).
    const bool keyed = problem.agent_keys.size() == problem.ordered_agents.size();
    std::unordered_map<size_t, size_t> first_with_id;
    for (size_t k = 0; k < problem.ordered_agents.size(); ++k) {
        const Agent& agent = problem.ordered_agents[k];
        require_quantity(agent.capacity_limit, "agent", agent.id, "capacity", false);
        const size_t id = keyed ? problem.agent_keys[k] : agent.id;
        auto [entry, fresh] = first_with_id.emplace(id, k);
        if (!fresh) {
            throw std::invalid_argument("agent id " + std::to_string(id) + " is used twice: by agents[" +
                                        std::to_string(entry->second) + "] and agents[" + std::to_string(k) + "]");
        }
        agent_index[agent.id] = k;
        if (std::isnan(agent.time_limit)) {
            throw std::invalid_argument("agent " + std::to_string(agent.id) + ": time_limit is nan");
        }
        // The agent's own type name picks its matrix, whatever id it was filed under.
        const size_t type = type_index.emplace(agent.type, type_index.size()).first->second;
        agent_type_of[agent.id] = type;
        agents.push_back(AgentRecord{agent.id, type, agent.capacity_limit, agent.time_limit});
        start_nodes.push_back(lookup_agent_node(node_index, agent, agent.start_node, "start_node"));
        end_nodes.push_back(lookup_agent_node(node_index, agent, agent.end_node, "end_node"));
    }
    type_count = type_index.size();
    type_names.clear();
    for (const auto& [name, number] : type_index) type_names[number] = name;
    agent_count = static_cast<int>(agents.size());
    start_node_set.insert(start_nodes.begin(), start_nodes.end());
    end_node_set.insert(end_nodes.begin(), end_nodes.end());
    // Agents neither serve nor load anything at their depots.
    for (const auto* depots : {&start_nodes, &end_nodes}) {
        for (size_t depot : *depots) nodes[depot].service = nodes[depot].demand = 0.0;
    }

    const auto& allowed_by_id = problem.assignment_constraint.allowed_types;
    std::vector<size_t> unassigned;
    for (NodeRecord& record : nodes) {
        auto entry = allowed_by_id.find(record.id);
        if (entry != allowed_by_id.end()) {
            for (const std::string& name : entry->second) {
                auto known = type_index.find(name);
                if (known != type_index.end()) record.allowed_types.push_back(known->second);
            }
        } else {
            for (size_t t = 0; t < type_count; ++t) record.allowed_types.push_back(t);
            unassigned.push_back(record.id);
        }
        std::sort(record.allowed_types.begin(), record.allowed_types.end());
        record.allowed_types.erase(std::unique(record.allowed_types.begin(), record.allowed_types.end()),
                                   record.allowed_types.end());
    }

    diagnostic_for_each(DiagnosticStream::Err, unassigned,
                        {"[warning] node ", " has no assignment constraint; allowing all types",
                         "[warning] nodes without an assignment constraint", "; every agent type may visit them"});

    time_windows.clear();
    const bool line_per_window = diagnostic_mode() == DiagnosticMode::Streams;
    std::vector<size_t> unknown_windows;
    for (const auto& [node_id, window] : problem.timewindow_constraint.windows) {
        auto found = node_index.find(node_id);
        if (found == node_index.end()) {
            if (line_per_window) {
                diagnostic(DiagnosticStream::Err, "[warning] time window node id " + std::to_string(node_id) +
                                                      " not found in nodes");
            } else {
                unknown_windows.push_back(node_id);
            }
            continue;
        }
        require_window(node_id, window.first, window.second);
        time_windows[found->second] = TimeWindow{window.first, window.second};
    }
    std::sort(unknown_windows.begin(), unknown_windows.end());
    diagnostic_for_each(DiagnosticStream::Err, unknown_windows,
                        {"", "", "[warning] time windows of node ids that no node has", "; they are ignored"});
}

std::vector<double> Solver::cost_layers(const Problem& problem, std::vector<char>* given) const {
    const size_t n = nodes.size();
    std::vector<double> layers(type_count * n * n, kMissingArcCost);
    auto type_of = [&](const std::string& name, const char* what) {
        auto known = type_index.find(name);
        if (known == type_index.end()) {
            throw std::out_of_range(std::string(what) + " for agent type \"" + name + "\": no agent has this type");
        }
        return known->second;
    };
    auto mark_given = [&](size_t t, size_t r, size_t c) {
        if (given != nullptr) (*given)[(r * n + c) * type_count + t] = 1;
    };
    for (const auto& [name, matrix] : problem.cost_matrices) {
        const size_t t = type_of(name, "cost matrix");
        double* layer = layers.data() + t * n * n;
        // Entries beyond the node count describe no node and are ignored; so is the diagonal.
        for (size_t r = 0; r < matrix.size() && r < n; ++r) {
            for (size_t c = 0; c < matrix[r].size() && c < n; ++c) {
                if (r == c) continue;
                const double cost = matrix[r][c];
                if (!std::isfinite(cost) || cost < 0.0) {
                    throw std::invalid_argument("cost matrix for agent type \"" + name + "\": row " +
                                                std::to_string(r) + ", column " + std::to_string(c) + " is " +
                                                number_text(cost) + "; costs must be finite and not negative");
                }
                layer[r * n + c] = cost;
                mark_given(t, r, c);
            }
        }
    }
    for (const auto& [name, metric] : problem.cost_metrics) {
        const size_t t = type_of(name, "cost metric");
        double* layer = layers.data() + t * n * n;
        // The metric is symmetric to the last bit: (-d) * (-d) == d * d.
        for (size_t r = 0; r < n; ++r) {
            for (size_t c = r; c < n; ++c) {
                const double cost = metric.cost(nodes[r].x, nodes[r].y, nodes[c].x, nodes[c].y);
                if (!std::isfinite(cost)) {
                    throw std::invalid_argument("cost metric of agent type \"" + name + "\": the distance from node " +
                                                std::to_string(nodes[r].id) + " to node " +
                                                std::to_string(nodes[c].id) + " is not finite; check their x and y");
                }
                layer[r * n + c] = cost;
                layer[c * n + r] = cost;
                if (c != r) mark_given(t, r, c), mark_given(t, c, r);
            }
        }
    }
    return layers;
}

void Solver::build_graph(const Problem& problem) {
    const size_t n = nodes.size();
    require_search_size(n);
    owned_graph = std::make_unique<SparseGraph>();
    owned_graph->ChangeCostDim(type_count, kMissingArcCost);
    for (size_t i = 0; i < n; ++i) owned_graph->AddVertex(i);

    given_arcs.assign(n * n * type_count, 0);
    const std::vector<double> layers = cost_layers(problem, &given_arcs);
    CostVector cost(type_count);
    for (size_t i = 0; i < n; ++i) {
        for (size_t j = 0; j < n; ++j) {
            if (j == i) continue;
            for (size_t t = 0; t < type_count; ++t) cost[t] = layers[(t * n + i) * n + j];
            owned_graph->AddArc(i, j, cost);
        }
    }
}

void Solver::install_plugins(const Options& options) {
    if (options.objective == ObjectiveType::MinSum) {
        objective = std::make_unique<MinSumObjective>();
    } else {
        objective = std::make_unique<DefaultObjective>();
    }
    const bool any_time_limit =
        std::any_of(agents.begin(), agents.end(), [](const AgentRecord& a) { return a.time_limit > 0; });
    const bool any_service =
        std::any_of(nodes.begin(), nodes.end(), [](const NodeRecord& v) { return v.service > 0; });
    enforce_capacity = options.enforce_capacity && std::any_of(agents.begin(), agents.end(), [](const AgentRecord& a) {
                           return a.capacity_limit > 0;
                       });
    const bool timed = !time_windows.empty() || any_service;
    if (any_time_limit || timed || enforce_capacity) {
        auto composite = std::make_unique<CompositeConstraintChecker>();
        composite->add(std::make_unique<DefaultConstraintChecker>());
        if (timed) composite->add(std::make_unique<TimeWindowConstraintChecker>());
        if (any_time_limit) composite->add(std::make_unique<TimeLimitConstraintChecker>());
        if (enforce_capacity) composite->add(std::make_unique<CapacityConstraintChecker>());
        constraint_checker = std::move(composite);
    }
    auto chain = std::make_unique<CompositePostOptimizer>();
    chain->add(std::make_unique<DefaultPostOptimizer>());
    chain->add(std::make_unique<RouteMergingPostOptimizer>());
    post_optimizer = std::move(chain);
}

namespace {

void configure_checker(ConstraintCheckerPlugin* checker, const Solver& solver) {
    if (auto* windows = dynamic_cast<TimeWindowConstraintChecker*>(checker)) {
        windows->set_end_nodes(solver.end_nodes);
        windows->set_time_windows(solver.time_windows);
        windows->set_start_nodes(solver.start_nodes);
        windows->set_return_to_end(solver.return_to_end);
    } else if (auto* limits = dynamic_cast<TimeLimitConstraintChecker*>(checker)) {
        limits->set_end_nodes(solver.end_nodes);
    } else if (auto* plain = dynamic_cast<DefaultConstraintChecker*>(checker)) {
        plain->set_end_nodes(solver.end_nodes);
    }
}

}  // namespace

bool Solver::prepare() {
    move_costs.build(graph);
    build_mst_edges();
    find_isolated_depots();

    heuristic->initialize(graph, nodes, agents);
    if (auto* tree_bound = dynamic_cast<DefaultHeuristic*>(heuristic.get())) {
        tree_bound->set_edges(mst_edges);
        tree_bound->set_end_nodes(end_nodes);
    }

    constraint_checker->initialize(graph, nodes, agents);
    if (auto* composite = dynamic_cast<CompositeConstraintChecker*>(constraint_checker.get())) {
        for (const auto& child : composite->children()) configure_checker(child.get(), *this);
    } else {
        configure_checker(constraint_checker.get(), *this);
    }

    expansion->initialize(end_nodes);
    objective->initialize(end_nodes);

    post_optimizer->set_return_to_end(return_to_end);
    post_optimizer->set_start_nodes(start_nodes);
    post_optimizer->set_end_nodes(end_nodes);
    post_optimizer->set_time_windows(time_windows);
    post_optimizer->set_enforce_capacity(enforce_capacity);
    return true;
}

int Solver::solve() { return options.improve ? solve_with_improvement(*this) : search(); }

void Solver::set_nodes(const std::vector<NodeRecord>& node_table) {
    nodes = node_table;
    for (const NodeRecord& record : nodes) {
        const auto& allowed = record.allowed_types;
        const bool type0_only = allowed.size() == 1 && allowed[0] == 0;
        const bool both_types = allowed.size() == 2 && allowed[0] == 0 && allowed[1] == 1;
        if (!type0_only && !both_types) throw std::invalid_argument("Wrong Point type");
    }
}

void Solver::set_agents(const std::vector<AgentRecord>& agent_table) { agents = agent_table; }

void Solver::set_graph(PlannerGraph* planner_graph) {
    graph = planner_graph;
    // A graph handed in from outside: every entry it holds counts as given.
    given_arcs.clear();
}

int Solver::configure(PlannerGraph* planner_graph, const std::vector<NodeRecord>& node_table,
                      const std::vector<AgentRecord>& agent_table, const std::vector<size_t>& starts,
                      const std::vector<size_t>& ends, double limit_seconds, const std::string& name) {
    require_budget(limit_seconds);
    debug_name = name;
    set_graph(planner_graph);
    set_nodes(node_table);
    set_agents(agent_table);
    type_count = graph ? graph->CostDim() : 0;
    start_nodes = starts;
    start_node_set.insert(starts.begin(), starts.end());
    agent_count = static_cast<int>(starts.size());
    end_nodes = ends;
    end_node_set.insert(ends.begin(), ends.end());
    return_to_end = false;
    prepare();
    time_limit = limit_seconds;
    return search();
}

}  // namespace dulmar
