// Reader of the JSON problem format: fills a Problem from an already parsed
// document. Format faults surface as the JSON library's own exception classes
// and message texts, raised at the first faulty value, with its place appended
// (" (at nodes[3].x)"); numbers that do not fit the field they fill raise
// std::invalid_argument naming the place, the key and the value. Meaning
// (repeated ids, costs, windows) is the solver set-up's to check.
#pragma once

#include <nlohmann/json.hpp>

#include "core/problem.h"
#include "core/stop_check.h"

namespace dulmar {

// Nodes and agents are added as they are read, so a fault leaves what came
// before it in `problem`; constraints are committed only after all were read.
// `check`, when given, is polled as the lists are read (see core/stop_check.h).
void read_problem_json(const nlohmann::json& root, Problem& problem, StopCheck* check = nullptr);

}  // namespace dulmar
