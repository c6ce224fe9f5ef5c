#include "core/stop_reason.h"

namespace dulmar {

const char* stop_reason_name(StopReason reason) {
    switch (reason) {
        case StopReason::None: return "";
        case StopReason::TimeLimit: return "time_limit";
        case StopReason::Exhausted: return "exhausted";
        case StopReason::Rounds: return "rounds";
        case StopReason::MemoryLimit: return "memory_limit";
        case StopReason::Interrupted: return "interrupted";
        case StopReason::Callback: return "callback";
        case StopReason::NoImprovement: return "no_improvement";
        case StopReason::Iterations: return "iterations";
    }
    return "";
}

}  // namespace dulmar
