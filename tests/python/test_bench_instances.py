"""The benchmark harness: random instances, the lower bound's parts, and one re-checked solve in a child process."""

import json
import math
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))

import harness  # noqa: E402
import make_random  # noqa: E402
import make_tight  # noqa: E402
from route_check import InstanceView, check_routes  # noqa: E402


def test_random_instances_are_seeded_and_share_points_across_variants():
    a = make_random.make_instance(40, 3, "min_max", "plain", seed=4)
    assert a == make_random.make_instance(40, 3, "min_max", "plain", seed=4)
    b = make_random.make_instance(40, 5, "min_sum", "windows", seed=4)
    assert [(n["x"], n["y"]) for n in a["nodes"]] == [(n["x"], n["y"]) for n in b["nodes"]]
    assert a["nodes"] != make_random.make_instance(40, 3, "min_max", "plain", seed=5)["nodes"]
    assert (a["nodes"][0]["x"], a["nodes"][0]["y"]) == make_random.DEPOT
    assert all(agent["start_node"] == agent["end_node"] == 0 for agent in b["agents"])


def test_windows_variant_has_its_shares_and_every_window_is_reachable():
    n = 101
    instance = make_random.make_instance(n, 4, "min_max", "windows", seed=2)
    view = InstanceView(instance)
    windows = [v for v in range(n) if view.windows[v] is not None]
    truck_only = [v for v in range(n) if view.allowed[v] == {"truck"}]
    assert len(windows) == 30 and len(truck_only) == 10 and 0 not in windows + truck_only
    assert [a.type for a in view.agents] == ["car", "truck", "car", "truck"]
    for v in windows:
        start, end = view.windows[v]
        assert 0 <= start < end and end >= view.cost("truck", 0, v)


def test_metric_and_matrix_forms_give_the_same_costs():
    metric = InstanceView(make_random.make_instance(12, 2, variant="windows", seed=3, form="metric"))
    matrix = InstanceView(make_random.make_instance(12, 2, variant="windows", seed=3, form="matrix"))
    for t in ("car", "truck"):
        for u in range(12):
            for v in range(12):
                assert metric.cost(t, u, v) == pytest.approx(matrix.cost(t, u, v), rel=1e-12)
    assert metric.cost("truck", 0, 1) == pytest.approx(1.2 * metric.cost("car", 0, 1))


def test_the_harness_finds_that_the_reader_takes_the_metric_form():
    assert harness.metric_supported()


def line_instance(objective="min_max", agents=2, return_to_end=True):
    # Depot at 0, targets at 3-4-5 distances 5 and 10 along one ray, a second type twice as slow.
    return {
        "nodes": [{"id": 0, "x": 0, "y": 0}, {"id": 1, "x": 3, "y": 4}, {"id": 2, "x": 6, "y": 8}],
        "agents": [{"id": k, "type": "fast" if k == 0 else "slow", "start_node": 0, "end_node": 0}
                   for k in range(agents)],
        "costs": {"fast": {"metric": "euclidean"}, "slow": {"metric": "euclidean", "factor": 2.0}},
        "options": {"objective": objective, "return_to_end": return_to_end},
    }


def test_farthest_bound_takes_the_cheapest_agent_and_the_free_way_back():
    assert harness.farthest_bound(line_instance()) == 20.0
    assert harness.farthest_bound(line_instance(return_to_end=False)) == 10.0
    slow_only = line_instance()
    slow_only["constraints"] = [{"kind": "assignment", "items": [{"node": 2, "types": ["slow"]}]}]
    assert harness.farthest_bound(slow_only) == 40.0  # only the slow agent may reach node 2


def test_lower_bound_combines_the_farthest_node_and_the_tour():
    assert harness.lower_bound(line_instance(), 60.0) == 30.0  # tour / 2 agents beats 2 x 10
    assert harness.lower_bound(line_instance(), 30.0) == 20.0
    assert harness.lower_bound(line_instance(), None) == 20.0
    assert harness.lower_bound(line_instance("min_sum"), 60.0) == 60.0
    apart = line_instance()
    apart["agents"][1]["end_node"] = 1  # no longer one depot: the tour says nothing
    assert harness.lower_bound(apart, 600.0) == harness.farthest_bound(apart)


def test_tour_instance_keeps_the_cheapest_costs_and_drops_the_side_rules():
    instance = line_instance()
    instance["constraints"] = [{"kind": "timewindow", "items": [{"node": 1, "start": 50, "end": 60}]}]
    tour = harness.tour_instance(instance)
    assert tour["costs"] == {"tour": {"metric": "euclidean", "factor": 1.0}}
    assert len(tour["agents"]) == 1 and tour["options"]["objective"] == "min_sum"
    assert all(c["kind"] == "assignment" for c in tour["constraints"])

    matrices = line_instance()
    matrices["costs"] = {"fast": [[0, 5, 9], [5, 0, 1], [9, 1, 0]], "slow": [[0, 1, 9], [7, 0, 9], [2, 9, 0]]}
    assert harness.tour_instance(matrices)["costs"]["tour"] == [[0, 1, 9], [5, 0, 1], [2, 1, 0]]


def test_a_vok_solve_in_a_child_is_rechecked_and_measured(tmp_path):
    square = square_instance()
    report = harness.Report(None)
    outcome = harness.solve("vok", square, 0.2, "square", tmp_path, seed=1, report=report)
    assert outcome.valid and outcome.value == pytest.approx(14.0)
    assert outcome.peak_mb > 0 and outcome.first_solution is not None
    assert not report.findings and outcome.cell() == "14.00"



def test_findings_are_listed_once_per_kind_up_to_a_cap(tmp_path):
    instance = line_instance("min_sum", agents=1)
    # Node 1 three times and node 2 never: a broken rule per repeat, and a claim that disagrees.
    check = harness.check_routes(instance, [[0, 1, 1, 1, 0]], claimed_costs=[1.0])
    outcome = harness.Outcome("vok", "line", "success", check=check)
    out = tmp_path / "report.md"
    report = harness.Report(str(out))
    report.note(outcome)
    assert report.findings == ["VOK, line: INVALID ROUTE: node index 1 is visited 3 times",
                               "VOK, line: INVALID ROUTE: 1 targets never visited: 2",
                               "VOK, line: CLAIM MISMATCH: agent index 0: the solver claims cost 1.000000, "
                               "the checker finds 10.000000"]
    assert outcome.cell() == "10.00 INVALID" and outcome.value is None

    many = harness.check_routes(instance, [[0] + [1] * 9 + [2, 0]])
    many.problems = [f"problem {i}" for i in range(8)]
    report.note(harness.Outcome("ortools", "many", "success", check=many))
    assert report.findings[-1] == "OR-Tools, many: INVALID ROUTE: 3 more like these"
    report.close()
    assert "### Findings" in out.read_text() and "problem 4" in out.read_text()


def square_instance(agents=1):
    # A 4 x 3 rectangle: one agent's best tour is its perimeter, 14.
    points = [(0, 0), (0, 3), (4, 3), (4, 0)]
    return {
        "nodes": [{"id": i, "x": x, "y": y} for i, (x, y) in enumerate(points)],
        "agents": [{"id": k, "type": "t", "start_node": 0, "end_node": 0} for k in range(agents)],
        "costs": {"t": [[math.dist(a, b) for b in points] for a in points]},
        "constraints": [{"kind": "assignment", "items": [{"node": i, "types": ["t"]} for i in range(4)]}],
        "options": {"objective": "min_max"},
    }


def test_a_bad_instance_is_an_error_outcome_with_the_reason(tmp_path):
    instance = square_instance()
    instance["agents"][0]["end_node"] = 9
    report = harness.Report(None)
    outcome = harness.solve("vok", instance, 0.2, "bad", tmp_path, seed=1, report=report)
    assert outcome.status == "error" and "end_node 9 is not the id of any node" in outcome.message
    assert outcome.cell() == "error" and outcome.value is None
    assert len(report.findings) == 1 and report.findings[0].startswith("VOK, bad: ERROR:")


def test_reference_tours_are_solved_once_and_then_read_from_the_cache(tmp_path):
    instance = square_instance(agents=2)
    tour = harness.reference_tour(instance, 0.2, 1, tmp_path, "square")
    assert tour.length == pytest.approx(14.0) and tour.note == ""
    cache = tmp_path / "tours.json"
    entries = json.loads(cache.read_text())
    assert len(entries) == 1
    key = next(iter(entries))
    entries[key]["length"] = 15.5  # a cached figure is used as it stands
    cache.write_text(json.dumps(entries))
    assert harness.reference_tour(instance, 0.2, 1, tmp_path, "square").length == 15.5
    harness.reference_tour(instance, 0.3, 1, tmp_path, "square")  # another budget is another tour
    assert len(json.loads(cache.read_text())) == 2


def test_solomon_bench_instance_carries_service_demand_and_capacity(tmp_path):
    import bench_solomon
    from test_converters import SOLOMON  # three customers: demands 10, 30, 10, service 90 each

    path = tmp_path / "C999.txt"
    path.write_text(SOLOMON)
    instance = bench_solomon.published_instance(path, agents=3, customers=2)
    assert [n.get("service") for n in instance["nodes"]] == [0, 90, 90]
    assert [n.get("demand") for n in instance["nodes"]] == [0, 10, 30]
    assert [a["capacity"] for a in instance["agents"]] == [200] * 3
    assert instance["options"]["enforce_capacity"] is True and instance["options"]["objective"] == "min_sum"
    view = InstanceView(instance)
    assert view.windows[2] == (825, 870) and view.cost("vehicle", 0, 1) == 5.0


def test_tight_instances_keep_their_planted_plan_within_every_window():
    # The benchmark counts these instances as known to be feasible: the planted plan must keep every rule,
    # with windows no wider than 80 around it and van-only targets on vans.
    for nodes, agents, seed in ((80, 8, 1), (200, 10, 3)):
        instance, routes = make_tight.plant(nodes, agents, "min_sum", seed)
        check = check_routes(instance, routes)
        assert check.valid, check.problems[:3]
        view = InstanceView(instance)
        assert all(view.windows[v] is not None and view.windows[v][1] - view.windows[v][0] <= 80 for v in view.targets)
        assert sum(not view.allows("bike", v) for v in view.targets) == round(0.2 * (nodes - 1))
