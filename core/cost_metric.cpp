#include "core/cost_metric.h"

#include <cmath>
#include <cstdio>
#include <stdexcept>

#include "core/excerpt.h"

namespace dulmar {

namespace {

std::string quoted(const std::string& text) { return "\"" + excerpt(text) + "\""; }

std::string number_text(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.17g", value);
    return buffer;
}

}  // namespace

std::string metric_fault(const std::string& agent_type, const char* key, const std::string& value,
                         const std::string& why) {
    return "cost metric of agent type " + quoted(agent_type) + ": \"" + key + "\" " + value + " " + why;
}

CostMetric make_cost_metric(const std::string& agent_type, const std::string& metric, double factor,
                            const std::string& round) {
    CostMetric out;
    if (metric != "euclidean") {
        throw std::invalid_argument(metric_fault(agent_type, "metric", quoted(metric),
                                                 "is not a known metric; the known one is \"euclidean\""));
    }
    if (!std::isfinite(factor) || factor < 0) {
        throw std::invalid_argument(
            metric_fault(agent_type, "factor", number_text(factor), "is not a finite number >= 0"));
    }
    if (round == "nint") {
        out.round_nint = true;
    } else if (!round.empty()) {
        throw std::invalid_argument(metric_fault(agent_type, "round", quoted(round),
                                                 "is not a known rounding; use \"nint\" or leave it out"));
    }
    out.factor = factor;
    return out;
}

}  // namespace dulmar
