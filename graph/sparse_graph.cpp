#include "graph/sparse_graph.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <stdexcept>
#include <string>

#include "core/diagnostics.h"

namespace dulmar {

namespace {

[[noreturn]] void Fail(const std::string& line, const std::string& what) {
    diagnostic(DiagnosticStream::Out, line);
    throw std::runtime_error(what);
}

[[noreturn]] void Fail(const std::string& message) { Fail(message, message); }

// Vertex v needs v + 1 slots; the last size_t value would wrap that to 0.
void CheckVertexId(size_t v, const char* operation) {
    if (v == std::numeric_limits<size_t>::max()) {
        throw std::length_error(std::string("SparseGraph::") + operation + ": vertex id " + std::to_string(v) +
                                " is too large");
    }
}

void AppendCostText(std::string& out, const CostVector& cost) {
    out += '[';
    // "%f" of a large value runs to hundreds of digits.
    std::vector<char> buffer(64);
    for (size_t i = 0; i < cost.size(); ++i) {
        if (i > 0) out += ',';
        int length = std::snprintf(buffer.data(), buffer.size(), "%f", cost[i]);
        if (length >= 0 && static_cast<size_t>(length) >= buffer.size()) {
            buffer.resize(static_cast<size_t>(length) + 1);
            length = std::snprintf(buffer.data(), buffer.size(), "%f", cost[i]);
        }
        if (length > 0) out.append(buffer.data(), static_cast<size_t>(length));
    }
    out += ']';
}

void AppendAdjacency(std::string& out, const std::vector<std::vector<size_t>>& ids,
                     const std::vector<std::vector<CostVector>>& costs) {
    for (size_t u = 0; u < ids.size(); ++u) {
        out += " -- " + std::to_string(u) + ":[";
        for (size_t i = 0; i < ids[u].size(); ++i) {
            out += std::to_string(ids[u][i]) + "(";
            AppendCostText(out, costs[u][i]);
            out += "),";
        }
        out += "]\n";
    }
}

}  // namespace

bool SparseGraph::HasVertex(size_t v) const { return v < succs.size(); }

bool SparseGraph::HasArc(size_t u, size_t v) const {
    if (u >= succs.size()) return false;
    const auto& heads = succs[u];
    return std::find(heads.begin(), heads.end(), v) != heads.end();
}

std::vector<size_t> SparseGraph::GetSuccs(size_t v) const {
    return HasVertex(v) ? succs[v] : std::vector<size_t>{};
}

std::vector<size_t> SparseGraph::GetPreds(size_t v) const {
    return HasVertex(v) ? preds[v] : std::vector<size_t>{};
}

const CostVector* SparseGraph::FindCost(size_t u, size_t v) const {
    if (u >= succs.size()) return nullptr;
    const auto& heads = succs[u];
    auto it = std::find(heads.begin(), heads.end(), v);
    if (it == heads.end()) return nullptr;
    return &succ_costs[u][static_cast<size_t>(it - heads.begin())];
}

CostVector SparseGraph::GetCost(size_t u, size_t v) const {
    const CostVector* cost = FindCost(u, v);
    return cost ? *cost : CostVector{};
}

std::vector<CostVector> SparseGraph::GetSuccCosts(size_t v) const {
    return HasVertex(v) ? succ_costs[v] : std::vector<CostVector>{};
}

std::vector<CostVector> SparseGraph::GetPredCosts(size_t v) const {
    return HasVertex(v) ? pred_costs[v] : std::vector<CostVector>{};
}

size_t SparseGraph::NumVertex() const { return succs.size(); }

size_t SparseGraph::NumArc() const { return arc_count; }

size_t SparseGraph::NumEdge() const {
    if (arc_count % 2 != 0) Fail("[ERROR] SparseGraph::NumEdge is not an integer but a fraction");
    return arc_count / 2;
}

size_t SparseGraph::CostDim() const { return cdim; }

std::vector<size_t> SparseGraph::AllVertex() const {
    std::vector<size_t> all(succs.size());
    for (size_t v = 0; v < all.size(); ++v) all[v] = v;
    return all;
}

void SparseGraph::AddVertex(size_t v) {
    if (HasVertex(v)) return;
    CheckVertexId(v, "AddVertex");
    succs.resize(v + 1);
    succ_costs.resize(v + 1);
    preds.resize(v + 1);
    pred_costs.resize(v + 1);
}

void SparseGraph::AddEdge(size_t u, size_t v, const CostVector& cost) {
    AddArc(u, v, cost);
    AddArc(v, u, cost);
}

void SparseGraph::AddArc(size_t u, size_t v, const CostVector& cost) {
    if (!HasVertex(u)) AddVertex(u);
    if (!HasVertex(v)) AddVertex(v);
    if (cdim == 0) {
        cdim = cost.size();
    } else if (cost.size() != cdim) {
        Fail("[ERROR] SparseGraph::AddArc cdim does not match: " + std::to_string(cdim) + " != " +
                 std::to_string(cost.size()),
             "[ERROR] SparseGraph::AddArc cdim does not match");
    }
    auto& heads = succs[u];
    auto head = std::find(heads.begin(), heads.end(), v);
    if (head != heads.end()) {
        succ_costs[u][static_cast<size_t>(head - heads.begin())] = cost;
    } else {
        heads.push_back(v);
        succ_costs[u].push_back(cost);
        ++arc_count;
    }
    auto& tails = preds[v];
    auto tail = std::find(tails.begin(), tails.end(), u);
    if (tail != tails.end()) {
        pred_costs[v][static_cast<size_t>(tail - tails.begin())] = cost;
    } else {
        tails.push_back(u);
        pred_costs[v].push_back(cost);
        ++arc_count;
    }
}

void SparseGraph::Rebuild(const std::vector<size_t>& sources, const std::vector<size_t>& targets,
                          const std::vector<CostVector>& costs, bool both_directions) {
    const size_t items = sources.size();
    if (targets.size() < items || costs.size() < items) {
        throw std::invalid_argument("SparseGraph: " + std::to_string(items) + " sources but only " +
                                    std::to_string(targets.size()) + " targets and " +
                                    std::to_string(costs.size()) + " costs");
    }
    size_t largest = 0;
    for (size_t i = 0; i < items; ++i) largest = std::max({largest, sources[i], targets[i]});
    CheckVertexId(largest, both_directions ? "CreateFromEdges" : "CreateFromArcs");
    succs.assign(largest + 1, {});
    succ_costs.assign(largest + 1, {});
    preds.assign(largest + 1, {});
    pred_costs.assign(largest + 1, {});
    for (size_t i = 0; i < items; ++i) {
        const size_t s = sources[i];
        const size_t t = targets[i];
        succs[s].push_back(t);
        succ_costs[s].push_back(costs[i]);
        preds[t].push_back(s);
        pred_costs[t].push_back(costs[i]);
        if (both_directions) {
            succs[t].push_back(s);
            succ_costs[t].push_back(costs[i]);
            preds[s].push_back(t);
            pred_costs[s].push_back(costs[i]);
        }
    }
}

void SparseGraph::CreateFromEdges(const std::vector<size_t>& sources, const std::vector<size_t>& targets,
                                  const std::vector<CostVector>& costs) {
    Rebuild(sources, targets, costs, true);
}

void SparseGraph::CreateFromArcs(const std::vector<size_t>& sources, const std::vector<size_t>& targets,
                                 const std::vector<CostVector>& costs) {
    Rebuild(sources, targets, costs, false);
}

void SparseGraph::ChangeCostDim(size_t dim, double fill) {
    for (auto* lists : {&succ_costs, &pred_costs}) {
        for (auto& per_vertex : *lists) {
            for (auto& cost : per_vertex) cost.resize(dim, fill);
        }
    }
    cdim = dim;
}

bool SparseGraph::SetArcCost(size_t u, size_t v, const CostVector& cost) {
    if (cost.size() != cdim) {
        Fail("[ERROR] SparseGraph::SetArcCost new edge cost dimension does not match! Maybe call "
             "ChangeCostDim() at first.");
    }
    if (!HasVertex(u) || !HasVertex(v)) Fail("[ERROR] SparseGraph::SetArcCost vertex does not exist!");
    auto& heads = succs[u];
    auto head = std::find(heads.begin(), heads.end(), v);
    if (head == heads.end()) Fail("[ERROR] SparseGraph::SetArcCost arc does not exist!");
    succ_costs[u][static_cast<size_t>(head - heads.begin())] = cost;
    auto& tails = preds[v];
    auto tail = std::find(tails.begin(), tails.end(), u);
    if (tail == tails.end()) Fail("[ERROR] SparseGraph::SetArcCost arc does not exist!");
    pred_costs[v][static_cast<size_t>(tail - tails.begin())] = cost;
    return true;
}

std::string SparseGraph::ToStr() const {
    std::string out = "=== SparseGraph Begin ===\n |V| = " + std::to_string(succs.size()) + " outgoing edges \n";
    AppendAdjacency(out, succs, succ_costs);
    out += " incoming edges \n";
    AppendAdjacency(out, preds, pred_costs);
    out += "=== SparseGraph End ===";
    return out;
}

}  // namespace dulmar
