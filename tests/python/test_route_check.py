"""The benchmarks' route checker on hand-worked routes: every rule it re-checks and every figure it computes."""

import copy
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))

from route_check import InstanceError, check_routes  # noqa: E402

# Node ids 10..14 sit at indices 0..4. The van (agent 7) lives at index 0, the
# bike (agent 8) at index 4; indices 1, 2, 3 are the targets. Only the van has a
# matrix, so every bike arc costs 9999.
VAN = [
    [0, 3, 4, 5, 9],
    [3, 0, 2, 6, 9],
    [4, 2, 0, 3, 9],
    [5, 6, 3, 0, 9],
    [9, 9, 9, 9, 0],
]
TOUR = [0, 1, 2, 3, 0]  # 3 + 2 + 3 + 5 = 13


def base(**options):
    return {
        "nodes": [{"id": 10 + i, "x": float(i), "y": 0.0} for i in range(5)],
        "agents": [{"id": 7, "type": "van", "start_node": 10, "end_node": 10},
                   {"id": 8, "type": "bike", "start_node": 14, "end_node": 14}],
        "costs": {"van": copy.deepcopy(VAN)},
        "constraints": [],
        "options": dict({"objective": "min_sum"}, **options),
    }


def with_windows(instance, *items):
    instance["constraints"].append(
        {"kind": "timewindow", "items": [{"node": n, "start": s, "end": e} for n, s, e in items]})
    return instance


def test_closed_route_waits_for_a_window_and_counts_the_wait():
    # Node 12 opens at 10: arrive at 3 + 2 = 5, wait 5, leave at 10, then 3 + 5 = 18.
    result = check_routes(with_windows(base(), (12, 10, 20)), [TOUR, []])
    assert result.valid, result.problems
    route = result.routes[0]
    assert (route.cost, route.travel, route.waiting) == (18, 13, 5)
    assert (result.max_cost, result.sum_cost, result.value, result.vehicles_used) == (18, 18, 18, 1)
    assert result.routes[1].cost == 0  # the idle bike


def test_open_route_gets_the_hop_into_its_end_for_free():
    # 3 + 2 + 3, and the hop 3 -> 0 back into the van's end node costs nothing.
    result = check_routes(base(return_to_end=False), [TOUR, []])
    assert result.valid and result.routes[0].cost == 8 and result.routes[0].travel == 8


def test_service_starts_when_the_window_opens_and_is_counted():
    instance = with_windows(base(), (12, 10, 20))
    instance["nodes"][1]["service"] = 4.0
    instance["nodes"][0]["service"] = 100.0  # a start node: no service there
    # 3, serve 4 -> 7, +2 -> 9, wait 1 -> 10, +3 -> 13, +5 -> 18.
    result = check_routes(instance, [TOUR, []])
    assert result.valid, result.problems
    route = result.routes[0]
    assert (route.cost, route.travel, route.service, route.waiting) == (18, 13, 4, 1)

    # The window bounds the start of service: node 12 closing at 8 is reached at 9 now.
    late = with_windows(copy.deepcopy(instance), (12, 0, 8))
    assert any("node index 2 at 9" in p for p in check_routes(late, [TOUR, []]).problems)


def test_route_limit_holds_up_to_and_including_the_limit():
    instance = base()
    instance["agents"][0]["max_length"] = 13
    assert check_routes(instance, [TOUR, []]).valid
    instance["agents"][0]["max_length"] = 12
    problems = check_routes(instance, [TOUR, []]).problems
    assert len(problems) == 1 and "max_length 12" in problems[0]


def assignment(instance, node, types):
    instance["constraints"].append({"kind": "assignment", "items": [{"node": node, "types": types}]})
    return instance


@pytest.mark.parametrize("instance, routes, expected", [
    (with_windows(base(), (11, 0, 2)), [TOUR, []], "after its window closes at 2"),
    (assignment(base(), 12, ["bike"]), [TOUR, []], "type 'van' may not visit"),
    (base(), [[0, 1, 4, 2, 3, 0], []], "node index 4 inside its route"),
    (base(), [[0, 1, 2, 3, 1, 0], []], "node index 1 is visited 2 times"),
    (base(), [[0, 1, 2, 0], []], "1 targets never visited: 3"),
    (base(), [[0, 1, 2, 3, 0], [4, 0]], "route ends at node index 0"),
    (base(), [[1, 2, 3, 0], []], "route starts at node index 1"),
    (base(), [[0, 1, 2, 3], []], "route ends at node index 3"),
    (base(), [[0, 1, 99, 2, 3, 0], []], "holds 99"),
    (base(), [[0], []], "needs a start and an end node"),
    (base(), [TOUR], "1 routes for 2 agents"),
])
def test_each_broken_rule_is_reported(instance, routes, expected):
    problems = check_routes(instance, routes).problems
    assert any(expected in p for p in problems), problems


def test_closing_at_the_start_node_is_allowed_only_on_open_routes():
    instance = base()
    instance["agents"][0]["end_node"] = 14  # the van now ends at the bike's depot
    instance["agents"][1]["end_node"] = 14
    assert check_routes(instance, [[0, 1, 2, 3, 4], []]).valid
    assert not check_routes(instance, [TOUR, []]).valid
    instance["options"]["return_to_end"] = False
    assert check_routes(instance, [TOUR, []]).valid


def test_capacity_counts_only_when_enforced_and_zero_means_no_limit():
    instance = base()
    for index, demand in ((1, 5), (2, 7), (3, 4)):
        instance["nodes"][index]["demand"] = demand
    instance["agents"][0]["capacity"] = 15
    result = check_routes(instance, [TOUR, []])
    assert result.valid and result.routes[0].load == 16
    instance["options"]["enforce_capacity"] = True
    problems = check_routes(instance, [TOUR, []]).problems
    assert len(problems) == 1 and "carries 16, above its capacity 15" in problems[0]
    instance["agents"][0]["capacity"] = 0
    assert check_routes(instance, [TOUR, []]).valid


def test_entries_no_matrix_gives_cost_9999():
    instance = base()
    instance["costs"]["van"] = [row[:3] for row in VAN[:3]]  # nothing about index 3 and beyond
    result = check_routes(instance, [TOUR, [4, 4]])
    # 3 + 2 + 9999 (2 -> 3) + 9999 (3 -> 0); the bike's [4, 4] stays put at no cost.
    assert result.routes[0].cost == 3 + 2 + 9999 + 9999 and result.routes[1].cost == 0
    bike = check_routes(base(), [[0, 1, 2, 0], [4, 3, 4]])
    assert bike.valid and bike.routes[1].cost == 2 * 9999


def test_costs_given_as_an_array_belong_to_types_named_by_position():
    instance = base()
    instance["costs"] = [copy.deepcopy(VAN)]
    instance["agents"][0]["type"] = "0"
    assert check_routes(instance, [TOUR, []]).routes[0].cost == 13


def metric_instance(entry, **options):
    return {
        "nodes": [{"id": 0, "x": 0.0, "y": 0.0}, {"id": 1, "x": 3.0, "y": 4.0}],
        "agents": [{"id": 0, "type": "t", "start_node": 0, "end_node": 0}],
        "costs": {"t": entry},
        "options": options,
    }


@pytest.mark.parametrize("entry, cost", [
    ({"metric": "euclidean"}, 10.0),
    ({"metric": "euclidean", "factor": 1.5}, 15.0),
    ({"metric": "euclidean", "factor": 1.5, "round": "nint"}, 16.0),  # 7.5 rounds to 8 each way
])
def test_metric_costs(entry, cost):
    assert check_routes(metric_instance(entry), [[0, 1, 0]]).routes[0].cost == cost


@pytest.mark.parametrize("entry, message", [
    ({"metric": "manhattan"}, "unknown metric 'manhattan'"),
    ({"metric": "euclidean", "round": "up"}, "unknown rounding 'up'"),
    ({"metric": "euclidean", "factor": -1}, "factor -1"),
    ({"metric": "euclidean", "factor": "2"}, "factor '2'"),
    ({"metric": "euclidean", "factor": float("nan")}, "factor nan"),
])
def test_bad_metric_objects_are_named(entry, message):
    with pytest.raises(InstanceError, match=message):
        check_routes(metric_instance(entry), [[0, 1, 0]])


def test_claims_that_disagree_are_mismatches_not_broken_rules():
    result = check_routes(base(), [TOUR, []], claimed_costs=[13.0, 0.0], claimed_objective=13.0)
    assert result.valid and not result.mismatches
    result = check_routes(base(), [TOUR, []], claimed_costs=[12.0, 0.0], claimed_objective=12.5)
    assert result.valid
    assert len(result.mismatches) == 2 and "claims cost 12.000000" in result.mismatches[0]
    # A wider tolerance accepts a claim rounded per arc.
    assert not check_routes(base(), [TOUR, []], claimed_objective=13.004, claim_tolerance=0.005).mismatches


def test_min_max_objective_is_the_longest_route():
    instance = base(objective="min_max")
    result = check_routes(instance, [[0, 1, 2, 0], [4, 3, 4]])
    assert result.value == 2 * 9999 and result.sum_cost == 3 + 2 + 4 + 2 * 9999
