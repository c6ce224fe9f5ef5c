"""Cost metrics, and instances above the search's 256 nodes, on the JSON road and the object road."""

import json
import math
import random
import sys
from pathlib import Path

import pytest

import _vok_core as vok
from object_road import problem_from

LIMIT_WORDS = ('"improve": true', "256")


def metric_cost(a, b, factor=1.0, nint=False):
    """The metric form's definition: sqrt(dx * dx + dy * dy) * factor, then rounded half up."""
    dx, dy = a[0] - b[0], a[1] - b[1]
    d = math.sqrt(dx * dx + dy * dy) * factor
    return float(math.floor(d + 0.5)) if nint else d


def metric_matrix(points, entry):
    factor, nint = entry.get("factor", 1.0), entry.get("round") == "nint"
    return [[metric_cost(a, b, factor, nint) for b in points] for a in points]


def make_instance(n, agents, seed=1, objective="min_max", return_to_end=True, rules=False):
    """Uniform points around a central depot. With ``rules``: a second, slower type that alone may serve
    a tenth of the targets, windows on 30 % of the targets and a route limit on every third agent."""
    rng = random.Random(seed)
    points = [(50.0, 50.0)] + [(round(rng.uniform(0, 100), 3), round(rng.uniform(0, 100), 3)) for _ in range(n - 1)]
    types = ["car", "truck"] if rules else ["car"]
    costs = {"car": {"metric": "euclidean"}}
    if rules:
        costs["truck"] = {"metric": "euclidean", "factor": 1.25}
    items = [{"node": i, "types": list(types)} for i in range(n)]
    constraints = [{"kind": "assignment", "items": items}]
    agent_list = [{"id": 10 + k, "type": types[k % len(types)], "start_node": 0, "end_node": 0}
                  for k in range(agents)]
    if rules:
        targets = list(range(1, n))
        for v in rng.sample(targets, n // 10):
            items[v]["types"] = ["truck"]
        horizon = 4 * 0.75 * math.sqrt(n * 100 * 100) / agents + 300
        windows = []
        for v in sorted(rng.sample(targets, 3 * n // 10)):
            opens = round(rng.uniform(0, horizon / 2), 1)
            windows.append({"node": v, "start": opens, "end": round(opens + horizon / 2, 1)})
        constraints.append({"kind": "timewindow", "items": windows})
        for agent in agent_list[::3]:
            agent["max_length"] = int(3 * horizon)
    return {
        "nodes": [{"id": i, "x": x, "y": y} for i, (x, y) in enumerate(points)],
        "agents": agent_list,
        "costs": costs,
        "constraints": constraints,
        "options": {"objective": objective, "return_to_end": return_to_end, "time_limit": 20.0},
    }


def with_matrices(instance):
    points = [(node["x"], node["y"]) for node in instance["nodes"]]
    out = json.loads(json.dumps(instance))
    out["costs"] = {name: metric_matrix(points, entry) for name, entry in instance["costs"].items()}
    return out


def improving(instance, iterations, seed=3):
    out = json.loads(json.dumps(instance))
    out["options"].update(improve=True, improve_iterations=iterations, seed=seed)
    return out


def recheck(instance, result):
    """Every rule re-checked from the instance alone, and every claimed cost recomputed."""
    assert result["status"] == "success"
    points = [(node["x"], node["y"]) for node in instance["nodes"]]
    n = len(points)
    allowed = {item["node"]: set(item["types"]) for item in instance["constraints"][0]["items"]}
    windows = {}
    for constraint in instance["constraints"][1:]:
        windows.update({item["node"]: (item["start"], item["end"]) for item in constraint["items"]})
    open_routes = not instance["options"]["return_to_end"]
    depots = {a["start_node"] for a in instance["agents"]} | {a["end_node"] for a in instance["agents"]}
    visits = [0] * n
    for agent, route in zip(instance["agents"], result["routes"]):
        path = route["path"]
        assert path[0] == agent["start_node"]
        assert path[-1] == agent["end_node"] or (open_routes and path[-1] == agent["start_node"])
        entry = instance["costs"][agent["type"]]
        t = 0.0
        for i in range(1, len(path)):
            u, v = path[i - 1], path[i]
            inner = i < len(path) - 1
            if inner:
                assert v not in depots and agent["type"] in allowed[v], (agent["id"], v)
                visits[v] += 1
            if not (open_routes and not inner):
                t += metric_cost(points[u], points[v], entry.get("factor", 1.0), entry.get("round") == "nint")
            if v in windows:
                assert t <= windows[v][1] + 1e-9, f"agent {agent['id']} reaches {v} at {t}, after {windows[v][1]}"
                t = max(t, windows[v][0])
        if agent.get("max_length"):
            assert t <= agent["max_length"] + 1e-9
        assert route["cost"] == pytest.approx(t, abs=1e-6)
    assert all(visits[v] == 1 for v in range(n) if v not in depots)
    costs = [route["cost"] for route in result["routes"]]
    assert result["statistics"]["max_cost"] == pytest.approx(max(costs))
    assert result["statistics"]["sum_cost"] == pytest.approx(sum(costs))


def outcome(result):
    """What two equal solves share: routes, costs and the anytime values (not their times)."""
    return (result["status"], result["routes"],
            [(entry["max_cost"], entry["sum_cost"]) for entry in result["anytime"]])


@pytest.mark.parametrize("entry", [{"metric": "euclidean"}, {"metric": "euclidean", "factor": 1.7},
                                   {"metric": "euclidean", "factor": 3.3, "round": "nint"}])
def test_the_metric_form_and_its_matrix_solve_alike_on_the_json_road(entry):
    small = make_instance(9, 3, seed=5)
    small["costs"] = {"car": entry}
    assert outcome(vok.solve_json_str(json.dumps(small))) == outcome(vok.solve_json_str(json.dumps(with_matrices(small))))
    large = improving(make_instance(300, 4, seed=6, rules=True), iterations=40)
    large["costs"]["car"] = entry
    by_metric = vok.solve_json_str(json.dumps(large))
    recheck(large, by_metric)
    assert outcome(by_metric) == outcome(vok.solve_json_str(json.dumps(with_matrices(large))))


def build_problem(instance, metric):
    problem, _ = problem_from(dict(instance, costs={}))
    points = [(node["x"], node["y"]) for node in instance["nodes"]]
    for name, entry in instance["costs"].items():
        if metric:
            problem.set_cost_metric(name, "euclidean", factor=entry.get("factor", 1.0), round=entry.get("round", ""))
        else:
            problem.set_cost_matrix(name, metric_matrix(points, entry))
    return problem


@pytest.mark.parametrize("n, improve", [(10, False), (300, True)])
def test_the_metric_form_and_its_matrix_solve_alike_on_the_object_road(n, improve):
    instance = make_instance(n, 3, seed=8)
    instance["costs"]["car"] = {"metric": "euclidean", "factor": 0.8, "round": "nint"}
    options = vok.Options()
    options.objective, options.time_limit = vok.ObjectiveType.MinSum, 20.0
    options.improve, options.improve_iterations, options.seed = improve, 30, 4
    solved = []
    for metric in (True, False):
        solver = vok.Solver(build_problem(instance, metric), options)
        assert solver.solve() == 1
        result = solver.get_result()
        solved.append((result.paths, result.times, result.improve_iterations))
    assert solved[0] == solved[1]


@pytest.mark.parametrize("n, agents, objective, return_to_end", [
    (300, 4, "min_max", True),
    (600, 7, "min_sum", False),
])
def test_large_instances_solve_end_to_end_with_every_rule(n, agents, objective, return_to_end):
    instance = improving(make_instance(n, agents, seed=n, objective=objective, return_to_end=return_to_end,
                                       rules=True), iterations=150)
    result = vok.solve_json_str(json.dumps(instance))
    recheck(instance, result)
    statistics = result["statistics"]
    assert statistics["improve_iterations"] == 150
    assert statistics["n_expanded"] == 0  # the search never ran
    key = "max_cost" if objective == "min_max" else "sum_cost"
    values = [entry[key] for entry in result["anytime"]]
    assert values and all(b < a for a, b in zip(values, values[1:]))
    assert values[-1] == pytest.approx(statistics[key])


def test_without_improve_more_than_256_nodes_are_refused_naming_the_count_the_limit_and_the_option():
    instance = make_instance(257, 2)
    with pytest.raises(ValueError) as caught:
        vok.solve_json_str(json.dumps(instance))
    assert "257" in str(caught.value) and all(word in str(caught.value) for word in LIMIT_WORDS)
    options = vok.Options()
    with pytest.raises(ValueError) as caught:
        vok.Solver(build_problem(instance, metric=True), options)
    assert "257" in str(caught.value) and all(word in str(caught.value) for word in LIMIT_WORDS)


@pytest.mark.parametrize("entry, words", [
    ({"metric": "manhattan"}, ['"metric" "manhattan"', "not a known metric"]),
    ({"metric": "euclidean", "round": "ceil"}, ['"round" "ceil"', "not a known rounding"]),
    ({"metric": "euclidean", "factor": -1.5}, ['"factor" -1.5', "finite number >= 0"]),
    ({"metric": "euclidean", "factor": "2"}, ['"factor" "2"', "not a number"]),
    ({"factor": 2}, ['"metric" (missing) is required']),
])
def test_bad_metric_objects_are_named_and_the_process_stays_up(entry, words):
    instance = make_instance(6, 2)
    instance["costs"]["car"] = entry
    with pytest.raises(ValueError) as caught:
        vok.solve_json_str(json.dumps(instance))
    assert 'agent type "car"' in str(caught.value)
    assert all(word in str(caught.value) for word in words), str(caught.value)
    instance["costs"]["car"] = {"metric": "euclidean"}
    assert vok.solve_json_str(json.dumps(instance))["status"] == "success"


def test_bad_metrics_on_the_object_road_are_refused_and_change_nothing():
    problem = vok.Problem()
    for bad, words in ((dict(factor=float("nan")), '"factor" NaN'), (dict(factor=-2.0), '"factor" -2'),
                       (dict(factor=float("inf")), '"factor" inf'), (dict(round="up"), '"round" "up"')):
        with pytest.raises(ValueError, match=words):
            problem.set_cost_metric("car", "euclidean", **bad)
    with pytest.raises(ValueError, match='"metric" "haversine"'):
        problem.set_cost_metric("car", metric="haversine")
    with pytest.raises(TypeError):
        problem.set_cost_metric("car", "euclidean", factor="2")
    # NaN cannot be written in JSON: the parser refuses the document.
    instance = make_instance(6, 2)
    instance["costs"]["car"] = {"metric": "euclidean", "factor": float("nan")}
    with pytest.raises(RuntimeError, match="parse error"):
        vok.solve_json_str(json.dumps(instance))
    instance = make_instance(6, 2)
    solver = vok.Solver(build_problem(instance, metric=True), vok.Options())
    assert solver.solve() == 1


def test_above_3000_nodes_metric_costs_keep_no_table_and_every_rule_holds():
    sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))
    import make_random
    from route_check import check_routes

    # A table of 20,000 nodes would take 3052 MB; costs worked out on demand need a few.
    huge = make_random.make_instance(20000, 40)
    huge["options"].update(improve=True, memory_limit_mb=1)
    with pytest.raises(ValueError, match=r"instance needs \d+ MB") as caught:
        vok.solve_json_str(json.dumps(huge))
    assert int(str(caught.value).split()[2]) < 32, str(caught.value)

    for objective, variant in (("min_max", "plain"), ("min_max", "windows"), ("min_sum", "plain")):
        instance = make_random.make_instance(3100, 8, objective, variant, seed=2)
        instance["options"].update(improve=True, improve_iterations=40, seed=1, time_limit=600)
        result = vok.solve_json_str(json.dumps(instance))
        assert result["status"] == "success" and result["statistics"]["improve_iterations"] == 40
        routes = result["routes"]
        check = check_routes(instance, [r["path"] for r in routes], claimed_costs=[r["cost"] for r in routes],
                             claimed_objective=result["statistics"][f"{objective[4:]}_cost"])
        assert check.valid and not check.mismatches, (objective, variant, check.problems[:3], check.mismatches[:3])
        assert result["anytime"][-1]["max_cost"] == result["statistics"]["max_cost"]
