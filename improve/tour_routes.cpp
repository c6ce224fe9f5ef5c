#include "improve/tour_routes.h"

#include <algorithm>
#include <cmath>

#include "improve/plane_tour.h"
#include "rules/visit_rule.h"

namespace dulmar {

namespace {

// Times the sectors are resized after their tours were measured.
constexpr int kBalanceRounds = 2;

// One agent's route taking targets in a given order while it may serve them
// and keeps its route limit and capacity (no windows: the running cost only adds up).
class RouteFill {
public:
    RouteFill(const StageModel& model, size_t agent)
        : model_(&model), agent_(agent), type_(model.type_of(agent)), route_{model.start_of(agent)} {}

    bool fits(int64_t v) const {
        if (!model_->serves(agent_, v)) return false;
        double time = time_ + model_->cost(type_, route_.back(), v);
        model_->visit(v).pass(time);
        const int64_t end = model_->end_of(agent_);
        time += model_->evaluator().arc(agent_, static_cast<size_t>(v), static_cast<size_t>(end));
        return within_route_limit(time, model_->limit_of(agent_)) &&
               within_capacity(load_ + model_->demand(v), model_->capacity_of(agent_));
    }
    void add(int64_t v) {
        time_ += model_->cost(type_, route_.back(), v);
        model_->visit(v).pass(time_);
        load_ += model_->demand(v);
        route_.push_back(v);
    }
    bool empty() const { return route_.size() == 1; }
    Route finish() {
        route_.push_back(model_->end_of(agent_));
        return std::move(route_);
    }

private:
    const StageModel* model_;
    size_t agent_;
    size_t type_;
    Route route_;
    double time_ = 0.0;
    double load_ = 0.0;
};

// The targets of `cycle` (which holds point 0, the depot) in tour order from the depot.
std::vector<int64_t> from_depot(const PlaneTour& tour, const std::vector<uint32_t>& cycle) {
    const size_t at = static_cast<size_t>(std::find(cycle.begin(), cycle.end(), 0u) - cycle.begin());
    std::vector<int64_t> out;
    out.reserve(cycle.size());
    for (size_t k = 1; k < cycle.size(); ++k) out.push_back(tour.node(cycle[(at + k) % cycle.size()]));
    return out;
}

// Route first, cluster second: each agent in turn takes the tour's targets
// until the next one would break its limit or capacity.
void cut_tour(const StageModel& model, const std::vector<int64_t>& order, std::vector<Route>& routes,
              std::vector<int64_t>& left) {
    const size_t m = model.agent_count();
    size_t agent = 0;
    RouteFill fill(model, 0);
    for (int64_t v : order) {
        while (agent < m && model.serves(agent, v) && !fill.fits(v) && !fill.empty()) {
            routes[agent] = fill.finish();
            if (++agent < m) fill = RouteFill(model, agent);
        }
        if (agent < m && fill.fits(v)) {
            fill.add(v);
        } else {
            left.push_back(v);
        }
    }
    if (agent < m) routes[agent] = fill.finish();
}

// One closed tour per agent over a sector of directions around the depot.
void sector_tours(const StageModel& model, PlaneTour& tour, const std::vector<uint32_t>& giant,
                  std::vector<Route>& routes, std::vector<int64_t>& left, const std::function<bool()>& stop) {
    const size_t m = model.agent_count();
    const size_t count = tour.size();
    const CostTable& table = model.instance().costs();
    const size_t depot = static_cast<size_t>(tour.node(0));
    // Each target's share of the giant tour estimates what it adds to a route.
    std::vector<double> weight(count, 0.0), angle(count, 0.0);
    for (size_t k = 0; k < giant.size(); ++k) {
        const uint32_t p = giant[k];
        const uint32_t before = giant[(k + giant.size() - 1) % giant.size()];
        const uint32_t after = giant[(k + 1) % giant.size()];
        weight[p] = 0.5 * (tour.cost(before, p) + tour.cost(p, after));
        const size_t v = static_cast<size_t>(tour.node(p));
        angle[p] = std::atan2(table.y(v) - table.y(depot), table.x(v) - table.x(depot));
    }
    std::vector<uint32_t> by_angle;
    for (uint32_t p = 1; p < count; ++p) by_angle.push_back(p);
    std::sort(by_angle.begin(), by_angle.end(), [&](uint32_t a, uint32_t b) {
        return angle[a] != angle[b] ? angle[a] < angle[b] : a < b;
    });
    // Sectors begin after the widest gap between directions.
    size_t first = 0;
    double widest = -1.0;
    for (size_t k = 0; k < by_angle.size(); ++k) {
        const double from = angle[by_angle[(k + by_angle.size() - 1) % by_angle.size()]];
        const double gap = k == 0 ? angle[by_angle[0]] + 2 * M_PI - from : angle[by_angle[k]] - from;
        if (gap > widest) widest = gap, first = k;
    }
    std::rotate(by_angle.begin(), by_angle.begin() + static_cast<std::ptrdiff_t>(first), by_angle.end());

    std::vector<double> scale(count, 1.0);
    std::vector<uint32_t> sector(count, 0);
    std::vector<std::vector<uint32_t>> cycles(m);
    std::vector<double> cost(m, 0.0), load(m, 0.0);
    for (int round = 0; round <= kBalanceRounds; ++round) {
        double total = 0.0;
        for (uint32_t p : by_angle) total += weight[p] * scale[p];
        double so_far = 0.0;
        for (uint32_t p : by_angle) {
            const double middle = so_far + 0.5 * weight[p] * scale[p];
            so_far += weight[p] * scale[p];
            sector[p] = static_cast<uint32_t>(
                std::min<double>(static_cast<double>(m - 1), std::floor(middle / std::max(total, 1e-300) * m)));
        }
        // Each sector's targets in the giant tour's order, after the depot.
        for (auto& cycle : cycles) cycle.assign(1, 0u);
        const size_t at = static_cast<size_t>(std::find(giant.begin(), giant.end(), 0u) - giant.begin());
        for (size_t k = 1; k < giant.size(); ++k) {
            const uint32_t p = giant[(at + k) % giant.size()];
            cycles[sector[p]].push_back(p);
        }
        double cost_sum = 0.0, load_sum = 0.0;
        for (size_t a = 0; a < m; ++a) {
            tour.improve(cycles[a], stop);
            const size_t type = model.type_of(a);
            cost[a] = 0.0;
            load[a] = 0.0;
            for (size_t k = 0; k < cycles[a].size(); ++k) {
                cost[a] += model.cost(type, tour.node(cycles[a][k]), tour.node(cycles[a][(k + 1) % cycles[a].size()]));
                if (k > 0) load[a] += weight[cycles[a][k]] * scale[cycles[a][k]];
            }
            cost_sum += cost[a];
            load_sum += load[a];
        }
        if (round == kBalanceRounds || cost_sum <= 0.0 || load_sum <= 0.0) break;
        // A sector whose tour costs more per unit of weight than the mean gets heavier targets.
        const double mean = cost_sum / load_sum;
        for (size_t a = 0; a < m; ++a) {
            if (load[a] <= 0.0) continue;
            const double factor = cost[a] / load[a] / mean;
            for (size_t k = 1; k < cycles[a].size(); ++k) scale[cycles[a][k]] *= factor;
        }
    }
    for (size_t a = 0; a < m; ++a) {
        std::vector<int64_t> order = from_depot(tour, cycles[a]);
        // An open route saves its last hop: end it at the far side.
        if (!model.instance().return_to_end() && order.size() > 1 &&
            model.cost(model.type_of(a), order.front(), model.start_of(a)) >
                model.cost(model.type_of(a), order.back(), model.start_of(a))) {
            std::reverse(order.begin(), order.end());
        }
        RouteFill fill(model, a);
        for (int64_t v : order) {
            if (fill.fits(v)) {
                fill.add(v);
            } else {
                left.push_back(v);
            }
        }
        routes[a] = fill.finish();
    }
}

}  // namespace

bool tour_routes(const StageModel& model, StageSolution& s, std::vector<int64_t>& left,
                 const std::function<bool()>& stop) {
    const size_t m = model.agent_count();
    if (m == 0 || model.instance().has_time_windows()) return false;
    for (size_t a = 1; a < m; ++a)
        if (model.start_of(a) != model.start_of(0) || model.end_of(a) != model.end_of(0)) return false;

    std::vector<int64_t> points{model.start_of(0)};
    points.insert(points.end(), model.targets().begin(), model.targets().end());
    PlaneTour tour(model, model.type_of(0), std::move(points));
    std::vector<uint32_t> giant = tour.curve_order();
    tour.improve(giant, stop);

    std::vector<Route> routes(m);
    left.clear();
    if (model.min_max()) {
        sector_tours(model, tour, giant, routes, left, stop);
    } else {
        cut_tour(model, from_depot(tour, giant), routes, left);
    }
    for (size_t a = 0; a < m; ++a) {
        if (routes[a].empty()) routes[a] = {model.start_of(a), model.end_of(a)};
        s.set_route(a, routes[a]);
    }
    return true;
}

}  // namespace dulmar
