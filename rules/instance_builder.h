// Turns a Problem into the prepared instance of one solve: dense numbering
// (node index = position in the node list, agent index = position in add
// order, type number = first-seen order of type names), the checks both roads
// share, each node's allowed types, windows by node index, and one dense cost
// layer per type from its matrix or metric (kMissingArcCost where neither
// gives one); above kOnDemandNodes only matrices make layers and the other
// types' costs are worked out on demand. The Solver's set-up calls it once
// and keeps the id maps beside.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <unordered_map>

#include "core/problem.h"
#include "core/stop_check.h"
#include "rules/prepared_instance.h"

namespace dulmar {

struct ProblemIds {
    std::unordered_map<std::string, size_t> type_index;  // type name -> type number
    std::unordered_map<size_t, size_t> node_index;       // node id -> node index
    std::unordered_map<size_t, size_t> agent_index;      // agent id -> agent index
    std::unordered_map<size_t, size_t> agent_type_of;    // agent id -> type number
};

// Faults raise std::invalid_argument (wrong values: repeated ids, negative or
// non-finite costs, bad windows, negative service, demand or capacity, ...)
// or std::out_of_range (unknown ids), each naming the value and its place.
// A threads option outside 1 to kMaxThreads is refused first. Without the
// option improve an instance above kMaxSearchNodes is refused;
// so is one whose tables alone (solve_table_bytes) exceed a memory cap, before
// they are built, and one whose route sums could overflow a double. `check`,
// when given, is polled row by row as the cost tables are built.
std::shared_ptr<const PreparedInstance> prepare_instance(const Problem& problem, const Options& options,
                                                         ProblemIds& ids, StopCheck* check = nullptr);

// What a solve of n nodes, m agents and `types` agent types, `dense_types` of
// them with a cost layer (the others on demand), holds whatever it finds, in
// bytes: the prepared instance, the search's graph (up to kMaxSearchNodes)
// and, with `improve`, an estimate of the improvement stage's model and the
// solutions of its `workers`. The memory cap counts it.
size_t solve_table_bytes(size_t n, size_t m, size_t types, size_t dense_types, bool improve, size_t workers = 1);

// Throws std::invalid_argument unless `seconds` is a positive budget.
void require_budget(double seconds);

// Throws std::invalid_argument unless `threads` is from 1 to kMaxThreads.
void require_threads(int64_t threads);

// Throws std::invalid_argument naming the count, the limit and the option
// that lifts it when the search cannot take `node_count` nodes.
void require_search_size(size_t node_count);

}  // namespace dulmar
