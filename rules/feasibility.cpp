#include "rules/feasibility.h"

#include <algorithm>
#include <limits>
#include <map>
#include <sstream>
#include <stdexcept>
#include <utility>

namespace dulmar {

namespace {

// Above this many nodes the window check, quadratic per agent type and
// start, is left to the solve.
constexpr size_t kWindowCheckNodes = 3000;

std::string type_name(const std::vector<std::string>& names, size_t t) {
    return t < names.size() ? "\"" + names[t] + "\"" : "number " + std::to_string(t);
}

// Least time to reach every node from `from` for agents of type t: waiting and
// service only add to it, so no route reaches a node earlier.
std::vector<double> earliest_arrivals(const PreparedInstance& p, size_t t, size_t from) {
    const size_t n = p.node_count();
    std::vector<double> best(n, std::numeric_limits<double>::infinity());
    std::vector<char> done(n, 0);
    best[from] = 0.0;
    for (size_t step = 0; step < n; ++step) {
        size_t u = n;
        for (size_t v = 0; v < n; ++v)
            if (!done[v] && (u == n || best[v] < best[u])) u = v;
        if (u == n || best[u] == std::numeric_limits<double>::infinity()) break;
        done[u] = 1;
        for (size_t v = 0; v < n; ++v) {
            if (done[v] || v == u) continue;
            const double via = best[u] + p.costs().cost_or(u, v, t, std::numeric_limits<double>::infinity());
            if (via < best[v]) best[v] = via;
        }
    }
    return best;
}

std::string pair_text(const PreparedInstance& p, const PrecedencePair& pair) {
    return "precedence pair (" + std::to_string(p.nodes()[pair.before].id) + ", " +
           std::to_string(p.nodes()[pair.after].id) + ")";
}

// A "same" pair needs one agent that may visit both nodes, and no chain of
// pairs may lead from a node back to itself.
void require_precedence_can_hold(const PreparedInstance& p) {
    const PrecedenceRule& rule = p.precedence();
    if (!rule.active()) return;
    for (const PrecedencePair& pair : rule.pairs()) {
        if (pair.kind != PrecedenceType::Same) continue;
        bool one_agent = false;
        for (size_t a = 0; a < p.agent_count() && !one_agent; ++a)
            one_agent = p.may_visit(a, pair.before) && p.may_visit(a, pair.after);
        if (!one_agent) {
            throw std::invalid_argument(pair_text(p, pair) +
                                        " of type \"same\": no agent may visit both nodes, so no route can "
                                        "serve them in turn");
        }
    }
    // Depth-first search over the pairs; a pair into a node on the stack closes a cycle.
    const size_t n = p.node_count();
    std::vector<char> state(n, 0);  // 0 new, 1 on the stack, 2 done
    std::vector<std::pair<size_t, const uint32_t*>> stack;
    for (size_t root = 0; root < n; ++root) {
        if (state[root] != 0 || rule.out_of(root).empty()) continue;
        state[root] = 1;
        stack.emplace_back(root, rule.out_of(root).begin());
        while (!stack.empty()) {
            auto& [node, next] = stack.back();
            if (next == rule.out_of(node).end()) {
                state[node] = 2;
                stack.pop_back();
                continue;
            }
            const PrecedencePair& pair = rule.pair(*next++);
            if (state[pair.after] == 1) {
                std::string path;
                bool on = false;
                for (const auto& entry : stack) {
                    on = on || entry.first == pair.after;
                    if (on) path += std::to_string(p.nodes()[entry.first].id) + " -> ";
                }
                throw std::invalid_argument(pair_text(p, pair) + " closes a cycle of pairs: " + path +
                                            std::to_string(p.nodes()[pair.after].id) +
                                            ", so no plan can keep them all");
            }
            if (state[pair.after] == 0) {
                state[pair.after] = 1;
                stack.emplace_back(pair.after, rule.out_of(pair.after).begin());
            }
        }
    }
}

}  // namespace

void require_plans_can_exist(const PreparedInstance& p, const std::vector<std::string>& type_names) {
    require_precedence_can_hold(p);
    const size_t n = p.node_count();
    const size_t m = p.agent_count();
    std::vector<char> depot(n, 0);
    for (size_t a = 0; a < m; ++a) {
        if (p.start_of(a) < n) depot[p.start_of(a)] = 1;
        if (p.end_of(a) < n) depot[p.end_of(a)] = 1;
    }

    for (size_t a = 0; a < m; ++a) {
        const size_t start = p.start_of(a);
        const size_t end = p.end_of(a);
        if (start >= n || end >= n) continue;
        const bool ends_at_end = (p.flags(a, end) & PreparedInstance::kServes) != 0;
        const bool ends_at_start = !p.return_to_end() && (p.flags(a, start) & PreparedInstance::kServes) != 0;
        if (!ends_at_end && !ends_at_start) {
            throw std::invalid_argument("agent " + std::to_string(p.agents()[a].id) + ": its type " +
                                        type_name(type_names, p.type_of(a)) + " may not visit its end node " +
                                        std::to_string(p.nodes()[end].id) +
                                        " (the node's assignment leaves the type out), so it can never finish");
        }
    }

    std::map<std::pair<size_t, size_t>, std::vector<double>> arrivals;  // (type, start) -> earliest arrivals
    const bool check_windows = p.has_time_windows() && n <= kWindowCheckNodes;
    for (size_t v = 0; v < n; ++v) {
        if (depot[v]) continue;
        const size_t id = p.nodes()[v].id;
        bool visitable = false;
        bool fits = false;
        double earliest = std::numeric_limits<double>::infinity();
        for (size_t a = 0; a < m; ++a) {
            if (!p.may_visit(a, v)) continue;
            visitable = true;
            fits = fits || p.within_capacity(a, p.demand(v));
            if (check_windows && p.window(v) != nullptr && p.start_of(a) < n) {
                auto& reach = arrivals[{p.type_of(a), p.start_of(a)}];
                if (reach.empty()) reach = earliest_arrivals(p, p.type_of(a), p.start_of(a));
                earliest = std::min(earliest, reach[v]);
            }
        }
        if (!visitable) {
            throw std::invalid_argument("node " + std::to_string(id) +
                                        ": no agent may visit it (its assignment lists no type that an agent has)");
        }
        if (!fits) {
            std::ostringstream text;
            text << "node " << id << ": its demand " << p.demand(v)
                 << " is above the capacity of every agent that may visit it";
            throw std::invalid_argument(text.str());
        }
        const TimeWindow* w = p.window(v);
        if (check_windows && w != nullptr && earliest > w->end) {
            std::ostringstream text;
            text << "node " << id << ": its time window closes at " << w->end
                 << ", before any agent that may visit it can get there (the earliest arrival is "
                 << earliest << ")";
            throw std::invalid_argument(text.str());
        }
    }
}

}  // namespace dulmar
