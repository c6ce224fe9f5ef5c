// Why a solve ended. Result carries it and the search and any later stage set
// it; search/solve_control.h is where callers meet it.
#pragma once

namespace dulmar {

enum class StopReason {
    None,
    TimeLimit,
    Exhausted,
    Rounds,
    MemoryLimit,
    Interrupted,
    Callback,
    NoImprovement,
    Iterations
};

// "time_limit", "exhausted", "rounds", "memory_limit", "interrupted",
// "callback", "no_improvement", "iterations"; "" for None.
const char* stop_reason_name(StopReason reason);

}  // namespace dulmar
