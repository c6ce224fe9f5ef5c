// The MTSP search engine. The constructor turns a Problem into the prepared
// instance (rules/), builds the complete planner graph from it, installs the
// plug-ins and prepares them; search() then runs the anytime focal search and
// keeps every improving solution. Every search helper is a virtual member so
// that a derived solver can replace it. A SolveControl, when given, is asked
// between expansions whether to stop and told of every improvement; a memory
// cap ends the search like its time limit. An instance above kMaxSearchNodes
// (accepted only with the option improve) gets no graph and no search set-up:
// the solve driver (driver/) hands it to the improvement stage.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "core/problem.h"
#include "core/result.h"
#include "graph/planner_graph.h"
#include "plugins/plugin_base.h"
#include "plugins/records.h"
#include "plugins/search_state.h"
#include "rules/instance_builder.h"
#include "rules/limits.h"
#include "rules/prepared_instance.h"
#include "rules/route_evaluator.h"
#include "search/anytime_filter.h"
#include "search/frontier.h"
#include "search/memory_meter.h"
#include "search/simple_timer.h"
#include "search/solution_summary.h"
#include "search/solve_control.h"
#include "search/state_pool.h"

namespace dulmar {

// Orders the focal set through whichever comparator plug-in the Solver holds.
struct FocalOrder {
    const std::unique_ptr<FocalComparatorPlugin>* comparator = nullptr;
    bool operator()(const FocalEntry& a, const FocalEntry& b) const { return (*comparator)->before(a, b); }
};

// Focal weight of the next round: four fifths of the way from 1 towards the
// ratio of the incumbent to the best open f-value, or 1 when that step is
// below 0.001 (always so without an incumbent).
double next_focal_weight(double incumbent, double best_f);

class Solver {
public:
    Solver(const Problem& problem, Options options);
    // The same, polling `stop_check` (may be null) while the tables are built;
    // a stop throws SolveStopped and leaves no Solver behind.
    Solver(const Problem& problem, Options options, StopCheck* stop_check);
    virtual ~Solver();
    Solver(const Solver&) = delete;
    Solver& operator=(const Solver&) = delete;

    // Alternative set-up for a caller that already holds a graph and tables.
    virtual void set_nodes(const std::vector<NodeRecord>& node_table);
    virtual void set_agents(const std::vector<AgentRecord>& agent_table);
    virtual void set_graph(PlannerGraph* planner_graph);
    virtual int configure(PlannerGraph* planner_graph, const std::vector<NodeRecord>& node_table,
                          const std::vector<AgentRecord>& agent_table, const std::vector<size_t>& starts,
                          const std::vector<size_t>& ends, double limit_seconds, const std::string& name);

    virtual Result get_result();
    virtual SolutionSummary get_summary() const;
    virtual std::vector<std::pair<double, Result>> get_result_process() const;
    // 1 when this call reached at least one goal, 0 otherwise.
    virtual int search();
    virtual bool prepare();
    virtual bool find_isolated_depots();
    virtual bool build_mst_edges();
    virtual size_t allocate_state();
    virtual bool is_dominated(const SearchState& state);
    virtual void record_expanded(const SearchState& state);
    virtual void extract_solution(size_t goal);
    virtual bool is_goal(const SearchState& state) const;
    virtual double total_length(const SearchState& state) const;
    virtual void reset_frontiers();
    virtual int64_t visited_count(const SearchState& state) const;
    virtual void update_focal_bound(double old_bound, double new_bound);
    virtual void update_summary();
    virtual void set_incumbent(double cost);

    // The search alone, whatever the options say; driver/solve_driver.h runs
    // the whole solve they ask for (the improvement stage too).
    int solve();
    // Frees the state pool, the open and focal sets and the frontier stores;
    // a later search starts them afresh.
    void release_search_memory();

    // Starts the clock (at `budget_clock` when count_from set one) and an
    // empty anytime record, as every search does; a solve without a search
    // calls it itself.
    void start_record();
    // From now on the budget counts from when `clock` started (a caller that
    // read and set up the instance on this thread), not from the solve's start.
    void count_from(const SimpleTimer& clock) { budget_clock = clock.ticks; }
    // Appends (elapsed time, copy of result) to the anytime record and sets
    // last_update_time; without `with_routes` the copy keeps the route costs
    // but not the routes. When the snapshot joins the anytime list (the rule
    // of AnytimeFilter) and a control is set, tells the control; returns false
    // when the control asked to stop, with stop_reason set to Callback.
    bool take_snapshot(bool with_routes = true);
    // The same at `time` instead of the timer's reading (the improvement
    // stage's workers keep clocks of their own).
    bool take_snapshot_at(double time, bool with_routes = true);

    // A route evaluator that judges routes by this Solver's prepared instance,
    // as its post-optimisers do.
    RouteEvaluator route_evaluator() const { return RouteEvaluator(instance); }

    // Window-aware cost of going from node a to node b over the cheapest type.
    double pair_cost(size_t a, size_t b) const;
    // Some cost matrix gave the cost of u -> v for type t; with a graph from
    // the alternative set-up, every entry the graph holds counts as given.
    bool arc_given(size_t u, size_t v, size_t t) const { return instance->arc_given(u, v, t); }

    // Above kMaxSearchNodes: no graph, only the prepared instance.
    bool large_instance() const { return nodes.size() > kMaxSearchNodes; }

    // ---- set-up ----
    std::unique_ptr<FocalComparatorPlugin> focal_comparator;
    std::unique_ptr<HeuristicPlugin> heuristic;
    std::unique_ptr<PostOptimizerPlugin> post_optimizer;
    std::unique_ptr<ConstraintCheckerPlugin> constraint_checker;
    std::unique_ptr<ExpansionPlugin> expansion;
    std::unique_ptr<ObjectivePlugin> objective;
    PlannerGraph* graph = nullptr;  // not owning; normally owned_graph
    std::vector<NodeRecord> nodes;
    std::vector<AgentRecord> agents;
    std::unordered_map<std::string, size_t> type_index;
    std::unordered_map<size_t, std::string> type_names;
    size_t type_count = 0;
    std::unordered_map<size_t, size_t> node_index;     // node id -> node index
    std::unordered_map<size_t, size_t> agent_index;    // agent id -> agent index
    std::unordered_map<size_t, size_t> agent_type_of;  // agent id -> type number
    std::unique_ptr<PlannerGraph> owned_graph;
    // Every rule and cost of the instance, shared by the plug-ins, the
    // post-optimisers and the improvement stage; rebuilt by prepare() from a
    // graph that the alternative set-up hands in.
    std::shared_ptr<const PreparedInstance> instance;
    std::vector<MstEdge> mst_edges;
    std::vector<size_t> start_nodes;
    std::unordered_set<size_t> start_node_set;
    std::unordered_set<size_t> end_node_set;
    int agent_count = 0;
    std::vector<size_t> end_nodes;
    std::vector<size_t> isolated_depots;
    TimeWindowMap time_windows;
    double time_limit = 60.0;
    bool return_to_end = true;
    // Capacities are enforced and some agent has one: states carry every
    // agent's load in extra_values.
    bool enforce_capacity = false;
    // Values the constraint checker keeps in every state after the loads
    // (precedence pairs); 0 when it keeps none.
    size_t checker_values = 0;
    std::string debug_name;
    Options options;  // as given to the constructor
    // Options::memory_limit_mb in bytes; 0 means no cap.
    size_t memory_cap_bytes = 0;
    // What the solve holds besides the search's structures (solve_table_bytes);
    // the cap counts both.
    size_t table_bytes = 0;
    // The anytime record keeps the routes of every solution the improvement
    // stage finds (get_result_process); the JSON road, which reports only
    // their costs, turns this off so that memory stays flat on large instances.
    bool keep_stage_routes = true;
    // Thread processor time the budget counts from (SimpleTimer::ticks); -1: the solve's start.
    int64_t budget_clock = -1;

    // ---- control ----
    SolveControl* control = nullptr;  // not owning; asked between expansions
    // Why the latest search (or a stage after it) ended; None before any.
    StopReason stop_reason = StopReason::None;

    // ---- search structures ----
    // Everything below that grows with the search allocates through it; the
    // memory cap is checked against it before each expansion.
    MemoryMeter search_memory;
    StatePool states{&search_memory};
    size_t num_states = 0;
    size_t pool_capacity = 0;
    size_t pool_increment = 1024;
    size_t pool_increment_max = 4096;
    std::vector<int64_t, CountingAllocator<int64_t>> parents{CountingAllocator<int64_t>(&search_memory)};
    std::set<OpenEntry, std::less<OpenEntry>, CountingAllocator<OpenEntry>> open{
        CountingAllocator<OpenEntry>(&search_memory)};
    std::set<FocalEntry, FocalOrder, CountingAllocator<FocalEntry>> focal;
    double focal_bound = 0.0;
    double incumbent_cost = -1.0;
    // agent positions (one byte per agent, see compact_position_key) -> index into frontiers
    std::unordered_map<CountedString, size_t, CountedStringHash, std::equal_to<CountedString>,
                       CountingAllocator<std::pair<const CountedString, size_t>>>
        frontier_index{CountingAllocator<std::pair<const CountedString, size_t>>(&search_memory)};
    size_t frontier_count = 0;
    // A store is created when its first state is recorded; until then the slot is empty.
    std::vector<std::unique_ptr<Frontier>, CountingAllocator<std::unique_ptr<Frontier>>> frontiers{
        CountingAllocator<std::unique_ptr<Frontier>>(&search_memory)};
    std::vector<double> focal_weights{100.0};
    std::unordered_set<size_t> idle_closes;  // ids of states reached by an idle close
    int32_t max_rounds = 100;

    // ---- result side ----
    Result result;
    SimpleTimer timer;
    std::vector<std::pair<double, Result>> anytime_snapshots;
    double last_update_time = 0.0;
    int32_t solution_found = 0;
    double best_max_cost = -1.0;
    SolutionSummary summary;

private:
    void install_plugins(const Options& options);
    // Copies the Solver's own tables (nodes, agents, depots, windows) out of the instance.
    void take_tables(const ProblemIds& ids);
    void build_graph();
    // The instance again from the current graph and tables (the alternative set-up).
    void rebuild_instance();
    // Puts every search structure back as a new Solver has it.
    void reset_search();
    // False when the control asked to stop while the goal was recorded.
    bool handle_goal(const SearchState& goal);
    // The reason to end the search before the next expansion, None to go on.
    StopReason reason_to_stop();
    // After an allocation failed mid-search: frees the sets and puts back the
    // latest complete solution if the failure cut a goal's handling short.
    void recover_from_allocation_failure();
    void generate_children(const SearchState& cur, size_t agent, SearchState& child);
    void write_debug_paths();
    double objective_value(const Result& solution) const;
    // Debug builds: every route of `solution` costs what its own evaluation says.
    void assert_routes_evaluate(const Result& solution) const;
    // visited_count of a pooled state, through the virtual operation.
    int64_t visited_count_of(size_t id);
    // A close where the agent stands changes nothing that dominance reads, so
    // its parent would prune it. When fewer nodes are left than agents are
    // active, some agent must finish idle, and an agent that may visit none of
    // the nodes left can only finish idle: such a close escapes the dominance
    // test, when generated and when expanded (its id is kept in idle_closes).
    bool is_idle_close(const SearchState& parent, const SearchState& child, bool stays_to_close) const;
    // Same type, depots, capacity and route limit: swapping their routes changes nothing.
    bool interchangeable(size_t a, size_t b) const;
    // With agents to spare (fewer nodes left than agents active), the agents of
    // one kind go to work in index order: once one of them has stayed idle at
    // its start, a later one still there may only stay idle too. Which of them
    // idles changes no route, and trying every choice makes the search explode
    // with many agents; every solution has a copy of this form.
    bool idles_in_turn(const SearchState& parent, size_t agent) const;
    // Writes the state's frontier key into position_key_scratch and returns it.
    const CountedString& compact_position_key(const SearchState& state);
    bool min_sum = false;
    // set_graph, set_nodes or set_agents changed what the instance was built from.
    bool instance_stale = false;
    bool searched = false;  // search() ran before
    bool handling_goal = false;
    AnytimeFilter anytime_filter;
    SearchState scratch_state;
    CountedString position_key_scratch{CountingAllocator<char>(&search_memory)};
};

}  // namespace dulmar
