#include <algorithm>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>

#include "core/diagnostics.h"
#include "search/solver.h"

namespace dulmar {

namespace {

constexpr double kNoIncumbent = -1.0;

}  // namespace

void Solver::start_record() {
    anytime_snapshots.clear();
    anytime_filter = AnytimeFilter(min_sum);
    stop_reason = StopReason::None;
    timer.start();
    if (budget_clock >= 0) timer.ticks = budget_clock;
}

int Solver::search() {
    if (searched) reset_search();
    searched = true;
    start_record();
    reset_frontiers();

    const size_t n = static_cast<size_t>(std::max(agent_count, 0));
    const size_t node_total = graph ? graph->NumVertex() : 0;
    const size_t largest_count = std::max(node_total, nodes.size());
    require_search_size(largest_count);
    if (start_nodes.size() < n || end_nodes.size() < n || agents.size() < n) {
        throw std::invalid_argument("search needs a start node, an end node and a record for each of its " +
                                    std::to_string(n) + " agents");
    }
    for (size_t a = 0; a < n; ++a) {
        if (start_nodes[a] >= node_total || end_nodes[a] >= node_total) {
            throw std::out_of_range("agent " + std::to_string(a) + ": start node " + std::to_string(start_nodes[a]) +
                                    " or end node " + std::to_string(end_nodes[a]) + " is not a node index below " +
                                    std::to_string(node_total));
        }
    }

    SearchState root;
    root.agent_node = start_nodes;
    root.agent_node.resize(n, 0);
    root.agent_cost.assign(n, 0.0);
    root.agent_done.assign(n, 0);
    checker_values = constraint_checker->state_values();
    if (enforce_capacity || checker_values > 0) root.extra_values.assign((enforce_capacity ? n : 0) + checker_values, 0.0);
    root.active_agents = static_cast<int64_t>(n);
    root.last_agent = 0;
    root.visited = VisitedSet::with_first_clear(node_total);
    for (size_t depot : isolated_depots) {
        if (depot < VisitedSet::kBits) root.visited.set(depot);
    }
    // An agent that ends elsewhere never comes back to its start, so the
    // start needs no visit of its own.
    for (size_t a = 0; a < n && a < start_nodes.size() && a < end_nodes.size(); ++a) {
        if (start_nodes[a] != end_nodes[a] && start_nodes[a] < VisitedSet::kBits) root.visited.set(start_nodes[a]);
    }
    root.node_count = static_cast<int32_t>(node_total);
    root.id = allocate_state();
    root.g_value = objective->evaluate_costs(root.agent_cost);
    root.h_value = heuristic->evaluate(root);
    root.f_value = objective->evaluate_state(root, static_cast<int64_t>(n), root.h_value);
    states.store(root.id, root);
    parents[root.id] = -1;
    result.n_generated += 1;

    focal_bound = focal_weights.at(0) * root.f_value;
    open.insert(OpenEntry{root.f_value, root.id});
    const double root_length = total_length(root);
    if (root_length != 0.0) throw std::logic_error("Initial length is not 0 !");
    focal.insert(FocalEntry{root.id, visited_count(root), static_cast<int64_t>(n), root.f_value, root_length});

    bool goal_reached = false;
    StopReason stop = StopReason::None;
    SearchState cur;
    SearchState child;
    auto refresh_focal_bound = [&](size_t round) {
        if (open.empty()) return;
        const double bound = focal_weights.at(round) * open.begin()->f_value;
        if (focal_bound != bound) update_focal_bound(focal_bound, bound);
    };
    // Before the first solution, a focal set that ran dry while open still
    // holds states takes every state of open back, so the search goes on
    // with the most advanced of them (the next expansion narrows the bound
    // again); without this the remaining rounds would expand nothing. A search
    // that has found a solution never gets here, so its course is the same.
    auto refill_focal = [&] {
        if (!focal.empty() || open.empty() || incumbent_cost != kNoIncumbent) return;
        update_focal_bound(-std::numeric_limits<double>::infinity(), std::numeric_limits<double>::infinity());
    };

    try {
        for (int32_t round = 0; round < max_rounds; ++round) {
            if (result.timeout) {
                stop = StopReason::TimeLimit;
                break;
            }
            for (;;) {
                refill_focal();
                if (focal.empty()) break;
                stop = reason_to_stop();
                if (stop != StopReason::None) break;
                const size_t id = focal.begin()->id;
                focal.erase(focal.begin());
                states.load(id, cur);
                open.erase(OpenEntry{cur.f_value, cur.id});

                const bool idle_close = !idle_closes.empty() && idle_closes.count(cur.id) != 0;
                if ((!idle_close && is_dominated(cur)) ||
                    (incumbent_cost != kNoIncumbent && incumbent_cost <= cur.f_value)) {
                    continue;
                }
                refresh_focal_bound(static_cast<size_t>(round));
                record_expanded(cur);
                if (is_goal(cur)) {
                    goal_reached = true;
                    if (!handle_goal(cur)) stop = StopReason::Callback;
                    break;
                }
                result.n_expanded += 1;
                const int64_t agent = expansion->select_agent(cur);
                if (agent < 0) {
                    diagnostic(DiagnosticStream::Err, "can't find next expanded agent");
                    break;
                }
                generate_children(cur, static_cast<size_t>(agent), child);
                refresh_focal_bound(static_cast<size_t>(round));
            }

            if (stop != StopReason::None) break;
            if (open.empty()) {
                stop = StopReason::Exhausted;
                break;
            }
            const double best_f = open.begin()->f_value;
            const bool settled = (incumbent_cost / best_f - 1.0) / 5.0 < 0.001;
            focal_weights.push_back(next_focal_weight(incumbent_cost, best_f));
            if (settled) {
                diagnostic(DiagnosticStream::Out, "w = 1");
            } else {
                summary.suboptimality_bound = incumbent_cost / best_f;
            }
        }
        if (stop == StopReason::None) stop = StopReason::Rounds;
    } catch (const std::bad_alloc&) {
        // Out of memory ends the search like the memory cap: what was found is kept.
        recover_from_allocation_failure();
        goal_reached = !anytime_snapshots.empty();
        stop = StopReason::MemoryLimit;
    }
    stop_reason = stop;

    result.finish_code = -1;
    result.search_cpu_time = timer.elapsed();
    if (!goal_reached) return 0;
    if (!debug_name.empty()) write_debug_paths();
    return 1;
}

void Solver::generate_children(const SearchState& cur, size_t agent, SearchState& child) {
    const size_t start = start_nodes[agent];
    const size_t end = end_nodes[agent];
    const size_t from = cur.agent_node[agent];
    const size_t type = agents[agent].type;
    const size_t node_total = nodes.size();
    const PreparedInstance& rules = *instance;
    const CostTable& costs = rules.costs();

    const bool idle_only = idles_in_turn(cur, agent);
    for (size_t j = 0; j < node_total; ++j) {
        const bool unvisited = j >= VisitedSet::kBits || !cur.visited.test(j);
        if (!unvisited && j != start && j != end) continue;
        if (constraint_checker->forbids(agent, j)) continue;
        if (!return_to_end) {
            if (j != start && start_node_set.count(j)) continue;
            if (j != end && end_node_set.count(j)) continue;
        } else if (j != end) {
            if (j == start || end_node_set.count(j)) continue;
        }

        if (idle_only && !(j == from && (j == end || (!return_to_end && j == start)))) continue;

        child = cur;
        child.last_agent = static_cast<int64_t>(agent);
        if (j < VisitedSet::kBits) child.visited.set(j);

        const bool closing = j == end || (!return_to_end && j == start);
        if (closing) {
            if (!child.agent_done[agent]) {
                child.agent_done[agent] = 1;
                child.active_agents -= 1;
            }
            const bool incomplete = child.node_count >= 1 &&
                                    !child.visited.all_set_below(static_cast<size_t>(child.node_count));
            if (child.active_agents == 0 && incomplete) continue;
            if (constraint_checker->is_dead_end(child)) continue;
        }

        if (j != from) {
            // A graph given through the alternative set-up may lack the arc: no move then.
            if (!costs.has_arc(from, j) || type >= costs.dim()) continue;
            child.agent_cost[agent] += rules.hop(agent, from, j);
        }
        // The one place that writes loads.
        if (enforce_capacity) child.extra_values[agent] += rules.demand(j);

        const TransitionVerdict verdict = constraint_checker->check_transition(child, agent, j);
        if (!verdict.feasible) continue;
        if (verdict.has_arrival_time) child.agent_cost[agent] = verdict.arrival_time;
        if (!constraint_checker->check_state(child, agent)) continue;
        if (checker_values > 0) constraint_checker->record(child, agent, j);
        child.agent_node[agent] = j;
        // Dominance is tested while the child still carries its parent's values.
        const bool idle_close = is_idle_close(cur, child, closing && j == from);
        if (!idle_close && is_dominated(child)) continue;

        child.g_value = objective->evaluate_costs(child.agent_cost);
        if (child.active_agents < 1) {
            child.h_value = 0.0;
            child.f_value = child.g_value;
        } else {
            child.h_value = heuristic->evaluate(child);
            child.f_value = objective->evaluate_state(child, child.active_agents, child.h_value);
        }
        if (incumbent_cost != kNoIncumbent && incumbent_cost <= child.f_value) continue;

        const size_t id = allocate_state();
        child.id = id;
        states.store(id, child);
        parents[id] = static_cast<int64_t>(cur.id);
        if (idle_close) idle_closes.insert(id);
        result.n_generated += 1;
        open.insert(OpenEntry{child.f_value, id});
        if (child.f_value <= focal_bound) {
            focal.insert(FocalEntry{id, visited_count(child), child.active_agents, child.f_value, total_length(child)});
        }
    }
}

double next_focal_weight(double incumbent, double best_f) {
    const double ratio = incumbent / best_f;
    const double step = (ratio - 1.0) / 5.0;
    return step < 0.001 ? 1.0 : ratio - step;
}

double Solver::objective_value(const Result& solution) const {
    return dulmar::objective_value(cost_totals(solution), min_sum);
}

StopReason Solver::reason_to_stop() {
    if (timer.elapsed() > time_limit) {
        result.timeout = true;
        return StopReason::TimeLimit;
    }
    if (memory_cap_bytes != 0 && search_memory.bytes + table_bytes >= memory_cap_bytes) return StopReason::MemoryLimit;
    return control != nullptr ? control->poll() : StopReason::None;
}

bool Solver::take_snapshot(bool with_routes) { return take_snapshot_at(timer.elapsed(), with_routes); }

bool Solver::take_snapshot_at(double time, bool with_routes) {
    last_update_time = time;
    if (with_routes) {
        anytime_snapshots.emplace_back(last_update_time, result);
    } else {
        // The routes step aside while the rest is copied: on a large instance they are most of it.
        auto paths = std::move(result.paths);
        result.paths.clear();
        try {
            anytime_snapshots.emplace_back(last_update_time, result);
        } catch (...) {
            result.paths = std::move(paths);
            throw;
        }
        result.paths = std::move(paths);
    }
    const CostTotals totals = cost_totals(result);
    if (!anytime_filter.admit(totals) || control == nullptr) return true;
    if (control->on_improvement(last_update_time, totals.max_cost, totals.sum_cost)) return true;
    stop_reason = StopReason::Callback;
    return false;
}

void Solver::recover_from_allocation_failure() {
    // The search is over: its sets are no longer needed and freeing them
    // leaves room to put the result right and hand it out.
    open.clear();
    focal.clear();
    if (!handling_goal) return;
    handling_goal = false;
    if (anytime_snapshots.empty()) {
        result.paths.clear();
        result.times.clear();
    } else {
        result = anytime_snapshots.back().second;
    }
}

bool Solver::handle_goal(const SearchState& goal) {
    handling_goal = true;
    solution_found = 1;
    extract_solution(goal.id);
    assert_routes_evaluate(result);
    // A stop asked for here still lets the goal's post-optimisation finish,
    // as the time limit does; its snapshot is reported too.
    bool go_on = take_snapshot();

    const auto found_paths = result.paths;
    const auto found_times = result.times;
    const double found_value = objective_value(result);
    post_optimizer->optimize(graph, nodes, agents, result);
    // The optimiser balances route lengths; under min-sum that can cost more
    // than it saves, and a solution must never get worse than the one found.
    if (exceeds(objective_value(result), found_value)) {
        result.paths = found_paths;
        result.times = found_times;
    }
    assert_routes_evaluate(result);
    go_on = take_snapshot() && go_on;

    best_max_cost = cost_totals(result).max_cost;
    update_summary();
    set_incumbent(objective_value(result));
    handling_goal = false;
    return go_on;
}

void Solver::extract_solution(size_t goal) {
    std::vector<std::pair<int64_t, int64_t>> moves;
    int64_t id = static_cast<int64_t>(goal);
    while (id >= 0 && parents[static_cast<size_t>(id)] != -1) {
        const size_t state = static_cast<size_t>(id);
        const int64_t agent = states.last_agent(state);
        moves.emplace_back(agent, static_cast<int64_t>(states.agent_node(state, static_cast<size_t>(agent))));
        id = parents[state];
    }
    for (int a = 0; a < agent_count; ++a) {
        moves.emplace_back(a, static_cast<int64_t>(start_nodes[static_cast<size_t>(a)]));
    }
    std::reverse(moves.begin(), moves.end());

    for (int a = 0; a < agent_count; ++a) {
        result.times[a] = states.agent_cost(goal, static_cast<size_t>(a));
        result.paths[a].clear();
    }
    for (const auto& [agent, node] : moves) result.paths[agent].push_back(node);
}

}  // namespace dulmar

