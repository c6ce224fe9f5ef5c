"""End-to-end solves through the JSON road and the object road."""

import json
import math
import random
import subprocess
import sys

import pytest

import _vok_core as vok

BUDGET = 0.5  # processor seconds per solve


def euclid(points):
    return [[math.hypot(a[0] - b[0], a[1] - b[1]) for b in points] for a in points]


def make_instance(n=9, agents=3, seed=1, objective="min_max", return_to_end=True, windows=None,
                  max_length=None, two_types=False):
    rng = random.Random(seed)
    points = [(rng.uniform(0, 50), rng.uniform(0, 50)) for _ in range(n)]
    types = ["car", "bike"] if two_types else ["car"]
    agent_list = []
    for k in range(agents):
        agent = {"id": 100 + k, "type": types[k % len(types)], "start_node": 0, "end_node": 0}
        if max_length is not None:
            agent["max_length"] = max_length
        agent_list.append(agent)
    matrix = euclid(points)
    costs = {"car": matrix}
    items = [{"node": i, "types": types} for i in range(n)]
    if two_types:
        costs["bike"] = [[2 * c for c in row] for row in matrix]
        items[1]["types"] = ["bike"]
        items[2]["types"] = ["car"]
    constraints = [{"kind": "assignment", "items": items}]
    if windows:
        constraints.append({"kind": "timewindow",
                            "items": [{"node": i, "start": s, "end": e} for i, (s, e) in windows.items()]})
    return {
        "nodes": [{"id": i, "x": x, "y": y, "type": "depot" if i == 0 else "target"} for i, (x, y) in
                  enumerate(points)],
        "agents": agent_list,
        "costs": costs,
        "constraints": constraints,
        "options": {"objective": objective, "return_to_end": return_to_end, "time_limit": BUDGET},
    }


def replay(instance, agent, path):
    """Recomputes a route's cost, honouring windows (with waiting) and open routes."""
    matrix = instance["costs"][agent["type"]]
    open_route = not instance["options"].get("return_to_end", True)
    depots = {agent["start_node"], agent["end_node"]}
    windows = {}
    for constraint in instance["constraints"]:
        if constraint["kind"] == "timewindow":
            windows = {item["node"]: (item["start"], item["end"]) for item in constraint["items"]}
    time = 0.0
    for i, node in enumerate(path):
        if i > 0 and node != path[i - 1] and not (open_route and node in depots):
            time += matrix[path[i - 1]][node]
        if node in windows:
            start, end = windows[node]
            assert time <= end + 1e-9, f"node {node} reached at {time} after its window closed at {end}"
            time = max(time, start)
    return time


def check_solution(instance, result):
    assert result["status"] == "success"
    routes = result["routes"]
    assert [r["agent_id"] for r in routes] == [a["id"] for a in instance["agents"]]
    allowed = {item["node"]: set(item["types"]) for item in instance["constraints"][0]["items"]}
    visits = {}
    for agent, route in zip(instance["agents"], routes):
        path = route["path"]
        assert path[0] == agent["start_node"]
        if instance["options"]["return_to_end"]:
            assert path[-1] == agent["end_node"]
        for node in path[1:-1]:
            visits[node] = visits.get(node, 0) + 1
            assert agent["type"] in allowed[node]
        cost = replay(instance, agent, path)
        assert route["cost"] == pytest.approx(cost, abs=1e-6)
        if agent.get("max_length"):
            assert route["cost"] <= agent["max_length"] + 1e-9
    targets = range(1, len(instance["nodes"]))
    assert all(visits.get(t, 0) == 1 for t in targets), visits
    costs = [r["cost"] for r in routes]
    assert result["statistics"]["max_cost"] == pytest.approx(max(costs))
    assert result["statistics"]["sum_cost"] == pytest.approx(sum(costs))
    key = "sum_cost" if instance["options"]["objective"] == "min_sum" else "max_cost"
    values = [entry[key] for entry in result["anytime"]]
    assert values, "a solved instance has at least one anytime entry"
    assert all(b < a - 1e-9 for a, b in zip(values, values[1:]))
    assert all(b["time"] >= a["time"] for a, b in zip(result["anytime"], result["anytime"][1:]))
    assert result["anytime"][-1][key] == pytest.approx(result["statistics"][key])


@pytest.mark.parametrize("objective", ["min_max", "min_sum"])
@pytest.mark.parametrize("seed", [1, 2])
def test_routes_cover_every_target_once(objective, seed):
    instance = make_instance(seed=seed, objective=objective)
    check_solution(instance, vok.solve_json_str(json.dumps(instance)))


def test_two_agent_types_respect_assignment():
    instance = make_instance(n=8, agents=2, two_types=True)
    check_solution(instance, vok.solve_json_str(json.dumps(instance)))


def test_time_windows_and_limits_hold():
    windows = {i: (0.0, 400.0) for i in range(1, 8)}
    windows[3] = (120.0, 200.0)  # forces waiting for most routes
    instance = make_instance(n=8, agents=2, windows=windows, max_length=400)
    check_solution(instance, vok.solve_json_str(json.dumps(instance)))


def test_open_routes_leave_out_the_leg_home():
    instance = make_instance(n=7, agents=2, return_to_end=False, objective="min_sum")
    check_solution(instance, vok.solve_json_str(json.dumps(instance)))


def test_result_dictionary_layout(tmp_path):
    instance = make_instance(n=5, agents=2)
    path = tmp_path / "instance.json"
    path.write_text(json.dumps(instance))
    result = vok.solve_json_file(input_path=str(path), time_limit=0.3)
    assert list(result) == ["status", "timeout", "routes", "statistics", "anytime"]
    assert list(result["routes"][0]) == ["agent_id", "path", "cost"]
    assert list(result["statistics"]) == ["solve_time", "max_cost", "sum_cost", "n_generated", "n_expanded",
                                          "last_update_time", "improve_iterations", "stop_reason"]
    assert all(list(entry) == ["time", "max_cost", "sum_cost"] for entry in result["anytime"])
    assert isinstance(result["timeout"], bool)
    assert isinstance(result["statistics"]["n_generated"], int)
    assert all(isinstance(v, float) for k, v in result["statistics"].items() if k not in ("n_generated",
                                                                                           "n_expanded",
                                                                                           "improve_iterations",
                                                                                           "stop_reason"))
    assert result["statistics"]["stop_reason"] in ("time_limit", "exhausted", "rounds")
    assert result["routes"][1]["agent_id"] == 101
    assert ("Solve an MTSP instance from a JSON string.\nReturns a dict with keys: status, routes, statistics, "
            "anytime, timeout.") in vok.solve_json_str.__doc__


def test_unsolvable_instance_reports_failure():
    instance = make_instance(n=4, agents=1)
    instance["agents"][0]["max_length"] = 1  # no route can visit a target
    result = vok.solve_json_str(json.dumps(instance))
    assert result["status"] == "failed"
    assert result["routes"] == [{"agent_id": 100, "path": [], "cost": 0.0}]
    assert result["statistics"]["max_cost"] == 0.0 and result["statistics"]["sum_cost"] == 0.0
    assert result["anytime"] == []


def test_agent_from_one_depot_to_another_is_solved():
    instance = make_instance(n=5, agents=1)
    instance["agents"][0]["end_node"] = 4
    result = vok.solve_json_str(json.dumps(instance))
    assert result["status"] == "success"
    path = result["routes"][0]["path"]
    assert path[0] == 0 and path[-1] == 4 and sorted(path) == [0, 1, 2, 3, 4]


def test_object_road_matches_the_problem_it_was_given():
    problem = vok.Problem()
    for i, (x, y) in enumerate([(0, 0), (3, 0), (3, 4), (0, 4)]):
        node = vok.Node()
        node.id = 10 + i
        node.position.x, node.position.y = x, y
        problem.add_node(node)
    agent = vok.Agent()
    agent.type = "walker"
    agent.start_node = agent.end_node = 10
    problem.add_agent(agent, 0)
    points = [(0, 0), (3, 0), (3, 4), (0, 4)]
    problem.set_cost_matrix("walker", euclid(points))
    options = vok.Options()
    options.objective = vok.ObjectiveType.MinMax
    options.time_limit = 0.3
    solver = vok.Solver(problem=problem, options=options)
    problem.add_node(vok.Node())  # the solver works on its own copy
    before = solver.get_result()
    assert before.paths == {} and before.times == {} and before.last_update_time == 0.0
    assert solver.solve() == 1
    result = solver.get_result()
    assert result.paths[0][0] == 0 and result.paths[0][-1] == 0
    assert result.times[0] == pytest.approx(14.0)
    process = solver.get_result_process()
    assert len(process) % 2 == 0 and len(process) >= 2
    assert all(isinstance(t, float) and isinstance(r, vok.Result) for t, r in process)
    with pytest.raises(TypeError):
        vok.Result()


@pytest.mark.parametrize("text, fragment", [
    ("", "parse_error"),
    ("{\"nodes\": []}", "key 'agents' not found"),
    ("[]", "cannot use at() with array"),
    ("{\"nodes\": [{\"id\": 0, \"x\": \"1\", \"y\": 0}], \"agents\": []}", "type must be number, but is string"),
])
def test_reader_errors_reach_python(text, fragment):
    with pytest.raises(RuntimeError, match=None) as caught:
        vok.solve_json_str(text)
    assert fragment in str(caught.value)


def test_set_up_errors_name_the_fault():
    instance = make_instance(n=3, agents=1)
    instance["agents"][0]["start_node"] = 42
    with pytest.raises(IndexError, match="42") as caught:
        vok.solve_json_str(json.dumps(instance))
    assert isinstance(caught.value, RuntimeError)  # like every other solver failure
    instance = make_instance(n=3, agents=1)
    instance["costs"]["boat"] = [[0]]
    with pytest.raises(IndexError, match="boat"):
        vok.solve_json_str(json.dumps(instance))
    with pytest.raises(RuntimeError, match="Cannot open file: /no/such/file.json"):
        vok.solve_json_file("/no/such/file.json")


FATAL_CASES = {
    "too_many_nodes": "inst = make_instance(n=3, agents=1)\n"
                      "inst['nodes'] = [{'id': i, 'x': 0, 'y': 0} for i in range(300)]\n"
                      "inst['costs'] = {}\n"
                      "try:\n    vok.solve_json_str(json.dumps(inst))\n"
                      "except ValueError as e:\n    assert '300' in str(e) and '256' in str(e)\n"
                      "else:\n    raise SystemExit(3)\n",
    "huge_capacity": "inst = make_instance(n=3, agents=1)\ninst['agents'][0]['capacity'] = 1e20\n"
                     "try:\n    vok.solve_json_str(json.dumps(inst))\n"
                     "except (ValueError, RuntimeError) as e:\n    assert 'capacity' in str(e)\n"
                     "else:\n    raise SystemExit(3)\n",
    "negative_id": "inst = make_instance(n=3, agents=1)\ninst['nodes'][1]['id'] = -1\n"
                   "try:\n    vok.solve_json_str(json.dumps(inst))\n"
                   "except (ValueError, RuntimeError) as e:\n    assert 'id' in str(e)\n"
                   "else:\n    raise SystemExit(3)\n",
    "alien_cost_shape": "inst = make_instance(n=3, agents=1)\ninst['costs']['car'] = [[1] * 50 for _ in range(50)]\n"
                        "vok.solve_json_str(json.dumps(inst))\n",
}


@pytest.mark.parametrize("case", sorted(FATAL_CASES))
def test_process_survives_bad_input(case):
    script = ("import json, sys\nsys.path.insert(0, %r)\nimport _vok_core as vok\n"
              "from test_solve import make_instance\n" % str(__import__("pathlib").Path(__file__).parent)
              + FATAL_CASES[case] + "print('alive')\n")
    completed = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert completed.returncode == 0, completed.stderr
    assert completed.stdout.strip().endswith("alive")
