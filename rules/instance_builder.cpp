#include "rules/instance_builder.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "core/diagnostics.h"
#include "core/excerpt.h"
#include "rules/feasibility.h"
#include "rules/limits.h"
#include "rules/segment.h"

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

struct Tables {
    std::vector<NodeRecord> nodes;
    std::vector<AgentRecord> agents;
    RuleSettings settings;
};

void build_tables(const Problem& problem, Tables& out, ProblemIds& ids) {
    if (problem.node_list.empty()) throw std::invalid_argument("instance has no nodes");
    if (problem.ordered_agents.empty()) throw std::invalid_argument("instance has no agents");
    std::vector<NodeRecord>& nodes = out.nodes;
    std::vector<AgentRecord>& agents = out.agents;

    ids.type_index = problem.type_index;
    for (const Node& node : problem.node_list) {
        require_quantity(node.service, "node", node.id, "service", true);
        require_quantity(node.demand, "node", node.id, "demand", true);
        auto [entry, fresh] = ids.node_index.emplace(node.id, nodes.size());
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
    std::vector<size_t>& starts = out.settings.start_nodes;
    std::vector<size_t>& ends = out.settings.end_nodes;
    for (size_t k = 0; k < problem.ordered_agents.size(); ++k) {
        const Agent& agent = problem.ordered_agents[k];
        require_quantity(agent.capacity_limit, "agent", agent.id, "capacity", false);
        const size_t id = keyed ? problem.agent_keys[k] : agent.id;
        auto [entry, fresh] = first_with_id.emplace(id, k);
        if (!fresh) {
            throw std::invalid_argument("agent id " + std::to_string(id) + " is used twice: by agents[" +
                                        std::to_string(entry->second) + "] and agents[" + std::to_string(k) + "]");
        }
        ids.agent_index[agent.id] = k;
        if (std::isnan(agent.time_limit)) {
            throw std::invalid_argument("agent " + std::to_string(agent.id) + ": time_limit is nan");
        }
        // The agent's own type name picks its matrix, whatever id it was filed under.
        const size_t type = ids.type_index.emplace(agent.type, ids.type_index.size()).first->second;
        ids.agent_type_of[agent.id] = type;
        agents.push_back(AgentRecord{agent.id, type, agent.capacity_limit, agent.time_limit});
        starts.push_back(lookup_agent_node(ids.node_index, agent, agent.start_node, "start_node"));
        ends.push_back(lookup_agent_node(ids.node_index, agent, agent.end_node, "end_node"));
    }
    const size_t type_count = ids.type_index.size();
    // Agents neither serve nor load anything at their depots.
    for (const auto* depots : {&starts, &ends}) {
        for (size_t depot : *depots) nodes[depot].service = nodes[depot].demand = 0.0;
    }

    const auto& allowed_by_id = problem.assignment_constraint.allowed_types;
    std::vector<size_t> unassigned;
    for (NodeRecord& record : nodes) {
        auto entry = allowed_by_id.find(record.id);
        if (entry != allowed_by_id.end()) {
            for (const std::string& name : entry->second) {
                auto known = ids.type_index.find(name);
                if (known != ids.type_index.end()) record.allowed_types.push_back(known->second);
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

    TimeWindowMap& windows = out.settings.time_windows;
    const bool line_per_window = diagnostic_mode() == DiagnosticMode::Streams;
    std::vector<size_t> unknown_windows;
    for (const auto& [node_id, window] : problem.timewindow_constraint.windows) {
        auto found = ids.node_index.find(node_id);
        if (found == ids.node_index.end()) {
            if (line_per_window) {
                diagnostic(DiagnosticStream::Err, "[warning] time window node id " + std::to_string(node_id) +
                                                      " not found in nodes");
            } else {
                unknown_windows.push_back(node_id);
            }
            continue;
        }
        require_window(node_id, window.first, window.second);
        windows[found->second] = TimeWindow{window.first, window.second};
    }
    std::sort(unknown_windows.begin(), unknown_windows.end());
    diagnostic_for_each(DiagnosticStream::Err, unknown_windows,
                        {"", "", "[warning] time windows of node ids that no node has", "; they are ignored"});
}

// The first pair (r, c >= r) in row order whose metric cost is not finite;
// throws naming it. Returns the largest cost when every one is finite.
double scan_metric(const std::string& name, const CostMetric& metric, const std::vector<NodeRecord>& nodes,
                   double* layer, StopCheck* check) {
    const size_t n = nodes.size();
    double most = 0.0;
    // The metric is symmetric to the last bit: (-d) * (-d) == d * d.
    for (size_t r = 0; r < n; ++r) {
        poll_or_stop(check);
        for (size_t c = r; c < n; ++c) {
            const double cost = metric.cost(nodes[r].x, nodes[r].y, nodes[c].x, nodes[c].y);
            if (!std::isfinite(cost)) {
                throw std::invalid_argument("cost metric of agent type \"" + excerpt(name) +
                                            "\": the distance from node " + std::to_string(nodes[r].id) +
                                            " to node " + std::to_string(nodes[c].id) +
                                            " is not finite; check their x and y");
            }
            if (layer != nullptr) {
                layer[r * n + c] = cost;
                layer[c * n + r] = cost;
            }
            if (c != r) most = std::max(most, cost);
        }
    }
    return most;
}

// A metric kept on demand: no cost is above the one across the positions'
// bounding box (every operation of the metric is monotone), so when that one
// is finite all are, and it bounds the largest arc.
double bound_metric(const std::string& name, const CostMetric& metric, const std::vector<NodeRecord>& nodes,
                    StopCheck* check) {
    if (nodes.size() < 2) return 0.0;
    double x0 = nodes[0].x, x1 = x0, y0 = nodes[0].y, y1 = y0;
    for (const NodeRecord& v : nodes) {
        x0 = std::min(x0, v.x), x1 = std::max(x1, v.x);
        y0 = std::min(y0, v.y), y1 = std::max(y1, v.y);
    }
    const double across = metric.cost(x0, y0, x1, y1);
    // NaN positions slip through min and max: walk the pairs to name the first bad one.
    const bool any_nan = std::any_of(nodes.begin(), nodes.end(),
                                     [](const NodeRecord& v) { return std::isnan(v.x) || std::isnan(v.y); });
    return std::isfinite(across) && !any_nan ? across : scan_metric(name, metric, nodes, nullptr, check);
}

// Every type's costs: an n x n layer from its matrix or metric,
// kMissingArcCost where neither gives one ([(k * n + u) * n + v] for the k-th
// dense type), or none for a type kept on demand (`sources`). Refuses a
// non-finite or negative matrix entry; marks each given entry in `given`
// when not null; `largest` gets each type's largest arc (a bound of it for
// types on demand).
std::vector<double> cost_layers(const Problem& problem, const std::vector<NodeRecord>& nodes,
                                const std::unordered_map<std::string, size_t>& type_index,
                                const std::vector<CostSource>& sources, std::vector<char>* given,
                                std::vector<double>& largest, StopCheck* check) {
    const size_t n = nodes.size();
    const size_t type_count = type_index.size();
    std::vector<size_t> slot(type_count, 0);  // type -> its place among the dense layers
    size_t dense = 0;
    for (size_t t = 0; t < type_count; ++t)
        if (sources[t].dense) slot[t] = dense++;
    // Filled row by row, asking `check` between rows: at thousands of nodes
    // touching the layers alone takes a large part of a second.
    std::vector<double> layers;
    layers.reserve(dense * n * n);
    for (size_t row = 0; row < dense * n; ++row) {
        poll_or_stop(check);
        layers.insert(layers.end(), n, kMissingArcCost);
    }
    // Until a matrix or metric covers every arc of a type, some cost kMissingArcCost.
    largest.assign(type_count, n > 1 ? kMissingArcCost : 0.0);
    auto type_of = [&](const std::string& name, const char* what) {
        auto known = type_index.find(name);
        if (known == type_index.end()) {
            throw std::out_of_range(std::string(what) + " for agent type \"" + excerpt(name) +
                                    "\": no agent has this type");
        }
        return known->second;
    };
    auto mark_given = [&](size_t t, size_t r, size_t c) {
        if (given != nullptr) (*given)[(r * n + c) * type_count + t] = 1;
    };
    for (const auto& [name, matrix] : problem.cost_matrices) {
        const size_t t = type_of(name, "cost matrix");
        double* layer = layers.data() + slot[t] * n * n;
        bool covers = matrix.size() >= n;
        double most = 0.0;
        // Entries beyond the node count describe no node and are ignored; so is the diagonal.
        for (size_t r = 0; r < matrix.size() && r < n; ++r) {
            poll_or_stop(check);
            covers = covers && matrix[r].size() >= n;
            for (size_t c = 0; c < matrix[r].size() && c < n; ++c) {
                if (r == c) continue;
                const double cost = matrix[r][c];
                if (!std::isfinite(cost) || cost < 0.0) {
                    throw std::invalid_argument("cost matrix for agent type \"" + excerpt(name) + "\": row " +
                                                std::to_string(r) + ", column " + std::to_string(c) + " is " +
                                                number_text(cost) + "; costs must be finite and not negative");
                }
                layer[r * n + c] = cost;
                most = std::max(most, cost);
                mark_given(t, r, c);
            }
        }
        largest[t] = covers ? most : std::max(most, largest[t]);
    }
    for (const auto& [name, metric] : problem.cost_metrics) {
        const size_t t = type_of(name, "cost metric");
        if (!sources[t].dense) {
            largest[t] = bound_metric(name, metric, nodes, check);
            continue;
        }
        largest[t] = scan_metric(name, metric, nodes, layers.data() + slot[t] * n * n, check);
        for (size_t r = 0; r < n && given != nullptr; ++r)
            for (size_t c = 0; c < n; ++c)
                if (c != r) mark_given(t, r, c);
    }
    return layers;
}

// Which types keep a dense layer: all of them up to kOnDemandNodes, and above
// it those with a cost matrix.
std::vector<CostSource> cost_sources(const Problem& problem, const std::unordered_map<std::string, size_t>& type_index,
                                     size_t n) {
    std::vector<CostSource> sources(type_index.size());
    if (n <= kOnDemandNodes) return sources;
    for (CostSource& source : sources) source.dense = false;
    for (const auto& [name, matrix] : problem.cost_matrices) {
        const auto known = type_index.find(name);
        if (known != type_index.end()) sources[known->second].dense = true;
    }
    for (const auto& [name, metric] : problem.cost_metrics) {
        const auto known = type_index.find(name);
        if (known == type_index.end() || sources[known->second].dense) continue;
        sources[known->second].has_metric = true;
        sources[known->second].metric = metric;
    }
    return sources;
}

// A bound on every route cost and on their sum: each target is entered once
// and each agent ends once, each hop costs at most the type's largest arc, a
// route waits for no window after the latest opening and serves at most all
// the service there is. Refused when the bound is no finite double, since
// the sums the stages add up could then overflow.
void require_representable_sums(const Tables& tables, const std::unordered_map<std::string, size_t>& type_index,
                                const std::vector<double>& largest) {
    double service = 0.0;
    for (const NodeRecord& node : tables.nodes) service += node.service;
    double latest_start = 0.0;
    for (const auto& [node, window] : tables.settings.time_windows) latest_start = std::max(latest_start, window.start);
    const double hops = static_cast<double>(tables.nodes.size() + tables.agents.size());
    const double agents = static_cast<double>(tables.agents.size());
    for (const auto& [name, t] : type_index) {
        const double bound = hops * largest[t] + service + agents * latest_start;
        if (std::isfinite(bound)) continue;
        throw std::invalid_argument("costs of agent type \"" + excerpt(name) + "\" are too large to add up: " +
                                    number_text(hops) + " hops of up to " + number_text(largest[t]) +
                                    ", service " + number_text(service) + " and waits until " +
                                    number_text(latest_start) + " for each of " + number_text(agents) +
                                    " agents could exceed the largest double; scale the costs down");
    }
}

constexpr size_t kMegabyte = size_t{1} << 20;

std::string pair_text(size_t before, size_t after) {
    return "precedence pair (" + std::to_string(before) + ", " + std::to_string(after) + ")";
}

// The problem's pairs by node index, when they are enforced; each pair names
// two distinct targets. Otherwise one warning line when there are any.
std::vector<PrecedencePair> precedence_pairs(const Problem& problem, const Options& options, const Tables& tables,
                                             const ProblemIds& ids) {
    std::vector<PrecedencePair> out;
    const size_t count = problem.precedence.size() + problem.precedence_same.size() + problem.precedence_diff.size();
    if (count == 0) return out;
    if (!options.enforce_precedence) {
        diagnostic(DiagnosticStream::Err,
                   "[warning] " + std::to_string(count) + " precedence pair" + (count == 1 ? " is" : "s are") +
                       " not enforced; the option \"enforce_precedence\": true (Options.enforce_precedence, "
                       "vok solve --enforce-precedence) enforces them");
        return out;
    }
    std::vector<char> depot(tables.nodes.size(), 0);
    for (const auto* depots : {&tables.settings.start_nodes, &tables.settings.end_nodes})
        for (size_t v : *depots) depot[v] = 1;
    const std::pair<const PrecedenceList*, PrecedenceType> lists[] = {{&problem.precedence, PrecedenceType::Any},
                                                                      {&problem.precedence_same, PrecedenceType::Same},
                                                                      {&problem.precedence_diff, PrecedenceType::Diff}};
    for (const auto& [list, kind] : lists) {
        for (const auto& [before, after] : *list) {
            if (before == after) throw std::invalid_argument(pair_text(before, after) + ": a node cannot precede itself");
            size_t index[2] = {0, 0};
            const size_t id[2] = {before, after};
            for (size_t k = 0; k < 2; ++k) {
                const auto found = ids.node_index.find(id[k]);
                if (found == ids.node_index.end()) {
                    throw std::invalid_argument(pair_text(before, after) + ": " + std::to_string(id[k]) +
                                                " is not the id of any node");
                }
                if (depot[found->second]) {
                    throw std::invalid_argument(pair_text(before, after) + ": node " + std::to_string(id[k]) +
                                                " is an agent's start or end node; pairs name targets");
                }
                index[k] = found->second;
            }
            out.push_back(PrecedencePair{index[0], index[1], kind});
        }
    }
    return out;
}

}  // namespace

void require_budget(double seconds) {
    if (!(seconds > 0.0)) {
        throw std::invalid_argument("time_limit must be a positive number of seconds, got " + number_text(seconds));
    }
}

void require_threads(int64_t threads) {
    if (threads < 1 || threads > kMaxThreads) {
        throw std::invalid_argument("threads must be a whole number from 1 to " + std::to_string(kMaxThreads) +
                                    ", got " + std::to_string(threads));
    }
}

void require_search_size(size_t node_count) {
    if (node_count > kMaxSearchNodes) {
        throw std::invalid_argument("instance has " + std::to_string(node_count) +
                                    " nodes; the search handles at most " + std::to_string(kMaxSearchNodes) +
                                    "; the option \"improve\": true (Options.improve, vok solve --improve) "
                                    "lifts the limit");
    }
}

size_t solve_table_bytes(size_t n, size_t m, size_t types, size_t dense_types, bool improve, size_t workers) {
    const size_t segment = sizeof(Segment);
    // The prepared instance: cost layers (or the positions of costs worked out
    // on demand), admission flags, node and agent tables (twice: the Solver
    // keeps copies), windows and visit summaries.
    size_t bytes = CostTable::bytes(n, types, dense_types) + m * n;
    bytes += 2 * n * (sizeof(NodeRecord) + types * sizeof(size_t)) + n * (sizeof(TimeWindow) + segment + 1);
    bytes += 2 * m * (sizeof(AgentRecord) + 4 * sizeof(size_t));
    if (n <= kMaxSearchNodes) {
        // Which entries a matrix gave, and the search's graph: each arc twice, with its cost vector.
        bytes += n * n * types + n * n * 2 * (4 * sizeof(size_t) + types * sizeof(double));
    }
    if (improve) {
        // The stage's model (40 neighbours a target) and about four solutions
        // of per-position costs, loads and visit summaries (by type on large
        // instances) a worker; several workers share two more.
        const size_t neighbours = std::min<size_t>(40, n);
        bytes += n * (neighbours * sizeof(int64_t) + 3 * sizeof(size_t) + types + 2);
        const size_t summaries = 2 + (n > kMaxSearchNodes && types > 1 ? types : 0);
        const size_t solutions = 4 * workers + (workers > 1 ? 2 : 0);
        bytes += solutions * (n + 2 * m) * (5 * sizeof(double) + summaries * segment + 2);
        // Without tables, the point index and the tours the first solution is built from.
        if (dense_types < types) bytes += n * (8 * sizeof(size_t) + 4 * sizeof(double));
    }
    return bytes;
}

std::shared_ptr<const PreparedInstance> prepare_instance(const Problem& problem, const Options& options,
                                                         ProblemIds& ids, StopCheck* check) {
    require_threads(options.threads);
    Tables tables;
    build_tables(problem, tables, ids);
    const size_t n = tables.nodes.size();
    const size_t types = ids.type_index.size();
    // Only the search asks which entries a matrix gave, and it takes small instances only.
    const bool searchable = n <= kMaxSearchNodes;
    if (!options.improve) require_search_size(n);
    const std::vector<CostSource> sources = cost_sources(problem, ids.type_index, n);
    const size_t dense = static_cast<size_t>(
        std::count_if(sources.begin(), sources.end(), [](const CostSource& s) { return s.dense; }));
    const double cap_mb = options.memory_limit_mb;
    if (cap_mb > 0.0 && std::isfinite(cap_mb)) {
        const size_t needed = solve_table_bytes(n, tables.agents.size(), types, dense, options.improve,
                                                static_cast<size_t>(options.threads));
        if (static_cast<double>(needed) > std::ceil(cap_mb * static_cast<double>(kMegabyte))) {
            throw std::invalid_argument(
                "instance needs " + std::to_string((needed + kMegabyte - 1) / kMegabyte) + " MB for its tables (" +
                std::to_string(n) + " nodes, " + std::to_string(types) + " agent types, " +
                std::to_string(tables.agents.size()) + " agents), more than the memory cap memory_limit_mb " +
                number_text(cap_mb) + "; raise the cap, or 0 lifts it");
        }
    }
    std::vector<char> given(searchable ? n * n * types : 0, 0);
    std::vector<double> largest;
    std::vector<double> xs, ys;
    if (dense < types) {
        xs.reserve(n), ys.reserve(n);
        for (const NodeRecord& v : tables.nodes) xs.push_back(v.x), ys.push_back(v.y);
    }
    auto table = std::make_shared<CostTable>();
    table->build(n, sources,
                 cost_layers(problem, tables.nodes, ids.type_index, sources, searchable ? &given : nullptr, largest,
                             check),
                 std::move(xs), std::move(ys), check);
    require_representable_sums(tables, ids.type_index, largest);
    tables.settings.return_to_end = options.return_to_end;
    tables.settings.enforce_capacity = options.enforce_capacity;
    tables.settings.precedence = precedence_pairs(problem, options, tables, ids);
    auto instance = PreparedInstance::build(std::move(table), std::move(tables.nodes), std::move(tables.agents),
                                            std::move(tables.settings), std::move(given));
    std::vector<std::string> type_names(ids.type_index.size());
    for (const auto& [name, number] : ids.type_index) type_names[number] = name;
    require_plans_can_exist(*instance, type_names);
    return instance;
}

}  // namespace dulmar
