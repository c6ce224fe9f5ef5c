#include <algorithm>
#include <cmath>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>

#include "graph/sparse_graph.h"
#include "plugins/constraint_checkers.h"
#include "plugins/default_expansion.h"
#include "plugins/default_focal_comparator.h"
#include "plugins/default_heuristic.h"
#include "plugins/objectives.h"
#include "postopt/composite_post_optimizer.h"
#include "postopt/default_post_optimizer.h"
#include "postopt/precedence_post_optimizer.h"
#include "postopt/route_merging_post_optimizer.h"
#include "search/solver.h"

namespace dulmar {

namespace {

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

Solver::Solver(const Problem& problem, Options options) : Solver(problem, std::move(options), nullptr) {}

Solver::Solver(const Problem& problem, Options options, StopCheck* stop_check)
    : focal(FocalOrder{&focal_comparator}, CountingAllocator<FocalEntry>(&search_memory)) {
    require_budget(options.time_limit);
    focal_comparator = std::make_unique<DefaultFocalComparator>();
    heuristic = std::make_unique<DefaultHeuristic>();
    post_optimizer = std::make_unique<DefaultPostOptimizer>();
    constraint_checker = std::make_unique<DefaultConstraintChecker>();
    expansion = std::make_unique<DefaultExpansion>();
    objective = std::make_unique<DefaultObjective>();

    ProblemIds ids;
    instance = prepare_instance(problem, options, ids, stop_check);
    take_tables(ids);
    table_bytes = solve_table_bytes(nodes.size(), agents.size(), type_count, instance->costs().dense_count(),
                                    options.improve,
                                    static_cast<size_t>(options.threads));
    if (!large_instance()) build_graph();
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

void Solver::take_tables(const ProblemIds& ids) {
    const PreparedInstance& p = *instance;
    nodes = p.nodes();
    agents = p.agents();
    type_index = ids.type_index;
    type_count = type_index.size();
    type_names.clear();
    for (const auto& [name, number] : type_index) type_names[number] = name;
    node_index = ids.node_index;
    agent_index = ids.agent_index;
    agent_type_of = ids.agent_type_of;
    start_nodes = p.settings().start_nodes;
    end_nodes = p.settings().end_nodes;
    agent_count = static_cast<int>(agents.size());
    start_node_set.insert(start_nodes.begin(), start_nodes.end());
    end_node_set.insert(end_nodes.begin(), end_nodes.end());
    time_windows = p.settings().time_windows;
}

void Solver::build_graph() {
    const size_t n = nodes.size();
    const CostTable& costs = instance->costs();
    owned_graph = std::make_unique<SparseGraph>();
    owned_graph->ChangeCostDim(type_count, kMissingArcCost);
    for (size_t i = 0; i < n; ++i) owned_graph->AddVertex(i);
    CostVector cost(type_count);
    for (size_t i = 0; i < n; ++i) {
        for (size_t j = 0; j < n; ++j) {
            if (j == i) continue;
            for (size_t t = 0; t < type_count; ++t) cost[t] = costs.cost_or(i, j, t, kMissingArcCost);
            owned_graph->AddArc(i, j, cost);
        }
    }
}

void Solver::rebuild_instance() {
    RuleSettings settings;
    settings.start_nodes = start_nodes;
    settings.end_nodes = end_nodes;
    settings.time_windows = time_windows;
    settings.return_to_end = return_to_end;
    settings.enforce_capacity = enforce_capacity;
    instance = PreparedInstance::from_graph(graph, nodes, agents, std::move(settings));
    instance_stale = false;
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
    const bool ordered = instance->precedence().active();
    if (any_time_limit || timed || enforce_capacity || ordered) {
        auto composite = std::make_unique<CompositeConstraintChecker>();
        composite->add(std::make_unique<DefaultConstraintChecker>());
        // Before the windows: the pairs' wait comes first, the window judges the later time.
        if (ordered) composite->add(std::make_unique<PrecedenceConstraintChecker>());
        if (timed) composite->add(std::make_unique<TimeWindowConstraintChecker>());
        if (any_time_limit) composite->add(std::make_unique<TimeLimitConstraintChecker>());
        if (enforce_capacity) composite->add(std::make_unique<CapacityConstraintChecker>());
        constraint_checker = std::move(composite);
    }
    if (ordered) {
        // Routes tied by pairs are improved as whole plans.
        post_optimizer = std::make_unique<PrecedencePostOptimizer>(options.objective == ObjectiveType::MinMax);
        return;
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
    if (instance == nullptr || instance_stale) rebuild_instance();
    build_mst_edges();
    find_isolated_depots();

    heuristic->initialize(graph, nodes, agents);
    if (auto* tree_bound = dynamic_cast<DefaultHeuristic*>(heuristic.get())) {
        tree_bound->set_edges(mst_edges);
        tree_bound->set_end_nodes(end_nodes);
    }

    constraint_checker->attach(instance);
    constraint_checker->initialize(graph, nodes, agents);
    if (auto* composite = dynamic_cast<CompositeConstraintChecker*>(constraint_checker.get())) {
        for (const auto& child : composite->children()) configure_checker(child.get(), *this);
    } else {
        configure_checker(constraint_checker.get(), *this);
    }

    expansion->initialize(end_nodes);
    objective->initialize(end_nodes);

    post_optimizer->attach(instance);
    post_optimizer->set_return_to_end(return_to_end);
    post_optimizer->set_start_nodes(start_nodes);
    post_optimizer->set_end_nodes(end_nodes);
    post_optimizer->set_time_windows(time_windows);
    post_optimizer->set_enforce_capacity(enforce_capacity);
    return true;
}

int Solver::solve() { return search(); }

void Solver::set_nodes(const std::vector<NodeRecord>& node_table) {
    nodes = node_table;
    instance_stale = true;
    for (const NodeRecord& record : nodes) {
        const auto& allowed = record.allowed_types;
        const bool type0_only = allowed.size() == 1 && allowed[0] == 0;
        const bool both_types = allowed.size() == 2 && allowed[0] == 0 && allowed[1] == 1;
        if (!type0_only && !both_types) throw std::invalid_argument("Wrong Point type");
    }
}

void Solver::set_agents(const std::vector<AgentRecord>& agent_table) {
    agents = agent_table;
    instance_stale = true;
}

void Solver::set_graph(PlannerGraph* planner_graph) {
    graph = planner_graph;
    // A graph handed in from outside: every entry it holds counts as given.
    instance_stale = true;
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
    instance_stale = true;
    prepare();
    time_limit = limit_seconds;
    return search();
}

}  // namespace dulmar
