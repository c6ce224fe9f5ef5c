"""vok.Model and vok.Solution as a user meets them: building, checking arguments, solving in silence, the
timetables, and the round trips through JSON, pickle and VRPLIB files."""

import json
import logging
import pickle
import random
import subprocess
import sys
from pathlib import Path

import pytest

import _vok_core
import vok
from vok.model import quiet_core

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))

from route_check import check_routes  # noqa: E402


def line_model():
    # README's worked example: depot at x = 0, targets at 10 (window [15, 25], 5 of service) and 20 (7 of
    # service, demand 2); the route 0 -> 1 -> 2 -> 0 waits 5 at target 1 and is back at 57.
    model = vok.Model()
    model.add_agent_type("car")
    depot = model.add_depot(0, 0)
    first = model.add_target(10, 0, window=(15, 25), service=5, demand=1)
    second = model.add_target(20, 0, service=7, demand=2)
    model.add_agent("car", depot, depot, capacity=3)
    return model, first, second


def test_a_schedule_worked_by_hand():
    model, first, second = line_model()
    solution = model.solve(time_limit=1)
    assert solution.status == "success" and solution.objective == 57
    (route,) = solution.routes
    assert route.agent == 0 and route.visits == [first, second] and route.cost == 57
    assert route.schedule == [
        vok.Stop(0, 0, 0, 0, 0, 0),
        vok.Stop(first, 10, 5, 15, 20, 1),
        vok.Stop(second, 30, 0, 30, 37, 3),
        vok.Stop(0, 57, 0, 57, 57, 3),
    ]
    assert solution.anytime and solution.anytime[-1]["sum_cost"] == 57

    # An end window that opens late: the agent waits there, so the cost is the last departure, not the arrival.
    for return_to_end, arrival in ((True, 20), (False, 10)):
        model = vok.Model(return_to_end=return_to_end)
        model.add_agent_type("car")
        depot = model.add_depot(0, 0, window=(100, 200))
        model.add_agent("car", depot, depot)
        model.add_target(10, 0)
        (route,) = model.solve(time_limit=1).routes
        assert route.cost == 100 and route.schedule[-1] == vok.Stop(depot, arrival, 100 - arrival, 100, 100, 0)


def random_model(rng):
    """Two agent types (coordinates times a factor, and a matrix), windows, service, demands, capacities,
    route limits and targets only one type may visit."""
    model = vok.Model(objective=rng.choice(["min_max", "min_sum"]), return_to_end=rng.random() < 0.8)
    n = rng.randint(4, 14)
    points = [(rng.uniform(0, 50), rng.uniform(0, 50)) for _ in range(n)]
    model.add_agent_type("walker", factor=rng.choice([1.0, 1.5]), rounding=rng.choice(["real", "nint"]))
    model.add_agent_type("van", matrix=[[abs(a[0] - b[0]) + abs(a[1] - b[1]) for b in points] for a in points])
    depot = model.add_depot(*points[0])
    for x, y in points[1:]:
        window = None
        if rng.random() < 0.3:
            start = rng.uniform(0, 80)
            window = (start, start + rng.uniform(20, 200))
        model.add_target(x, y, window=window, service=rng.choice([0, 0, 2.5]), demand=rng.randint(0, 3),
                         types=rng.choice([None, None, ["walker"], ["van"]]))
    for kind in ("walker", "van", rng.choice(["walker", "van"])):
        model.add_agent(kind, depot, depot, capacity=rng.choice([0, 12]), max_length=rng.choice([0, 0, 1000]))
    return model


@pytest.mark.parametrize("seed", range(6))
def test_random_models_solve_to_checked_routes_and_timetables(seed):
    rng = random.Random(seed)
    model = random_model(rng)
    solution = model.solve(time_limit=0.3, seed=seed, improve=seed % 2 == 0)
    instance = model.to_instance()
    assert solution.status == "success", instance
    check = check_routes(instance, [route.path for route in solution.routes], [route.cost for route in solution.routes],
                         solution.objective)
    assert check.valid and not check.mismatches, (check.problems, check.mismatches)
    for route, figures in zip(solution.routes, check.routes):
        assert [stop.node for stop in route.schedule] == route.path
        assert route.visits == route.path[1:-1]
        if not route.schedule:
            continue
        assert route.schedule[-1].departure == route.cost
        assert sum(stop.wait for stop in route.schedule) == pytest.approx(figures.waiting)
        assert route.schedule[-1].load == pytest.approx(figures.load)
        for before, after in zip(route.schedule, route.schedule[1:]):
            assert before.start == before.arrival + before.wait and after.arrival >= before.departure
            assert after.load >= before.load

    # The same solution back from JSON text, a pickled model that writes the same instance.
    again = vok.Solution.from_dict(json.loads(json.dumps(solution.to_dict())), solution.instance)
    assert again == solution
    assert pickle.loads(pickle.dumps(model)).to_instance() == instance
    assert pickle.loads(pickle.dumps(solution)) == solution


@pytest.mark.parametrize("build, fragment", [
    (lambda m: m.add_agent("bike", 0, 0), "unknown agent type 'bike'"),
    (lambda m: m.add_target(1, 1, types=["bike"]), "unknown agent type 'bike'"),
    (lambda m: m.add_target(1, 1, types="car"), "not the string 'car'"),
    (lambda m: m.add_agent("car", 0, 7), "end: unknown node id 7"),
    (lambda m: m.add_agent("car", 0, True), "must be a node id"),
    (lambda m: m.add_agent("car", 0, 0, capacity=2.5), "capacity must be a whole number"),
    (lambda m: m.add_precedence(1, 9), "after: unknown node id 9"),
    (lambda m: m.add_target(1, 1, window=(9, 3)), "window start 9 is after its end 3"),
    (lambda m: m.add_target(1, 1, window=(0, float("inf"))), "window end must be a finite number"),
    (lambda m: m.add_target(1, 1, service=-1), "service may not be negative, got -1"),
    (lambda m: m.add_target(1, 1, demand=-0.5), "demand may not be negative, got -0.5"),
    (lambda m: m.add_target(float("nan"), 1), "x must be a finite number"),
    (lambda m: m.add_agent_type("car"), "'car' is already defined"),
    (lambda m: m.add_agent_type("bus", factor=-1), "factor may not be negative"),
    (lambda m: m.add_agent_type("bus", matrix=[[0, 1], [1]]), "row 1 has 1 entries"),
    (lambda m: m.solve(time_limit=0), "time_limit must be a positive number"),
    (lambda m: m.solve(threads=0), "threads must be an int of at least 1, got 0"),
    (lambda m: m.solve(seed=2**63), "seed must be an int in the 64-bit range"),
    (lambda m: (m.add_agent_type("bus", matrix=[[0, 1], [1, 0]]), m.add_agent("bus", 0, 0), m.solve()),
     "the matrix is 2 x 2 but the model has 3 nodes"),
])
def test_bad_arguments_are_named_before_the_core_sees_them(build, fragment):
    model, _, _ = line_model()
    with pytest.raises(ValueError, match=fragment.replace("(", r"\(").replace(".", r"\.")):
        build(model)


def test_precedence_and_threads_reach_the_instance_and_the_core_takes_them():
    model, first, second = line_model()
    model.add_precedence(second, first, kind="same")
    assert model.to_instance()["constraints"][-1] == {
        "kind": "sequence", "precedence": [{"before": second, "after": first, "type": "same"}]}
    assert model.to_instance()["options"]["enforce_precedence"] is True
    # Serving 2 first (until 27), the agent reaches 1 at 37, after its window closes at 25: no plan.
    assert model.solve(time_limit=0.2, threads=2).status == "failed"
    model, first, second = line_model()
    model.add_precedence(first, second, kind="same")
    assert model.solve(time_limit=0.2, threads=2).objective == 57


def test_a_model_solve_prints_nothing_and_logs_instead(capfd, caplog):
    model = random_model(random.Random(3))
    with caplog.at_level(logging.DEBUG, logger="vok"):
        model.solve(time_limit=0.2, improve=False)
    assert capfd.readouterr() == ("", "")
    assert _vok_core.diagnostics() == "streams"  # set back after the solve

    # Per-node warnings (no node has an assignment entry) become one WARNING line.
    instance = model.to_instance(0.2)
    instance["constraints"] = []
    caplog.clear()
    with caplog.at_level(logging.DEBUG, logger="vok"), quiet_core():
        _vok_core.solve_json_str(json.dumps(instance))
    assert capfd.readouterr() == ("", "")
    warnings = [r.getMessage() for r in caplog.records if r.levelno == logging.WARNING]
    assert len(warnings) == 1 and f"without an assignment constraint: {model.node_count}" in warnings[0]


CVRP = """NAME : tiny-n5-k2
COMMENT : a depot and four customers
TYPE : CVRP
DIMENSION : 5
EDGE_WEIGHT_TYPE : EUC_2D
CAPACITY : 10
NODE_COORD_SECTION
1 50 50
2 60 50
3 70 50
4 40 50
5 30 50
DEMAND_SECTION
1 0
2 5
3 5
4 6
5 4
DEPOT_SECTION
1
-1
EOF
"""


def test_a_cvrp_file_read_solved_and_written_as_a_vrplib_solution(tmp_path):
    import vrplib

    path = tmp_path / "tiny.vrp"
    path.write_text(CVRP)
    model = vok.read(path, agents=2)
    instance = model.to_instance()
    assert [n.get("demand") for n in instance["nodes"]] == [0, 5, 5, 6, 4]
    assert [a["capacity"] for a in instance["agents"]] == [10, 10] and instance["options"]["enforce_capacity"]
    solution = model.solve(time_limit=0.5)
    assert sorted(sorted(r.visits) for r in solution.routes) == [[1, 2], [3, 4]]  # 10 each: the loads fit
    assert solution.objective == pytest.approx(40.0)

    out = tmp_path / "tiny.sol"
    solution.write_vrplib(out)
    written = vrplib.read_solution(str(out))
    assert sorted(map(list, written["routes"])) == sorted(r.visits for r in solution.routes)
    assert written["cost"] == pytest.approx(solution.objective)


def test_the_readme_model_example_runs_as_written(tmp_path):
    readme = Path(__file__).resolve().parents[2] / "README.md"
    if not readme.exists():
        pytest.skip("README.md is not shipped with this installation")
    section = readme.read_text().split("## Five minutes with `vok.Model`", 1)[1]
    code = section.split("```python\n", 1)[1].split("```", 1)[0]
    (tmp_path / "example.py").write_text(code)
    completed = subprocess.run([sys.executable, "example.py"], cwd=tmp_path, capture_output=True, text=True,
                               timeout=120)
    assert completed.returncode == 0 and completed.stderr == "", completed.stderr
    lines = completed.stdout.splitlines()
    assert lines[0].startswith("success ") and sum(line.startswith("agent ") for line in lines) == 2
    assert sum(line.startswith("  node ") for line in lines) == 4 + 4  # start, targets, end: every stop shown
    # What the README shows it prints, up to its "...", is what it prints.
    shown = section.split("```text\n", 1)[1].split("```", 1)[0].splitlines()
    assert lines[:shown.index("  ...")] == shown[:shown.index("  ...")]


def test_the_diagnostics_switch(capfd, caplog):
    instance = random_model(random.Random(3)).to_instance(0.2)
    instance["constraints"] = []  # one warning per node on standard error
    text = json.dumps(instance)
    previous = _vok_core.set_diagnostics("streams")
    try:
        for mode in ("streams", "logging", "off"):
            assert _vok_core.set_diagnostics(mode) in ("streams", "logging", "off")
            assert _vok_core.diagnostics() == mode
            caplog.clear()
            with caplog.at_level(logging.DEBUG, logger="vok"):
                _vok_core.solve_json_str(text)
            err = capfd.readouterr().err
            logged = [r.getMessage() for r in caplog.records if r.name == "vok"]
            assert ("has no assignment constraint" in err) == (mode == "streams"), (mode, err)
            assert any("without an assignment constraint" in m for m in logged) == (mode == "logging"), mode
        with pytest.raises(ValueError, match='diagnostics mode "loud" is none of'):
            _vok_core.set_diagnostics("loud")
    finally:
        _vok_core.set_diagnostics(previous)
