"""Bad input gives a clear error on every road (JSON, object by object, files, command line), never a wrong
answer, a hang or a traceback."""

import json
import math
import os
import subprocess
import sys

import pytest

import _vok_core as vok
from object_road import problem_from

POINTS = [(0, 0), (3, 0), (3, 4), (0, 4)]


def instance(agents=1, points=POINTS, time_limit=2.0):
    matrix = [[math.dist(a, b) for b in points] for a in points]
    return {
        "nodes": [{"id": i, "x": x, "y": y} for i, (x, y) in enumerate(points)],
        "agents": [{"id": k, "type": "car", "start_node": 0, "end_node": 0} for k in range(agents)],
        "costs": {"car": matrix},
        "constraints": [{"kind": "assignment", "items": [{"node": i, "types": ["car"]} for i in range(len(points))]}],
        "options": {"objective": "min_max", "time_limit": time_limit},
    }


def repeated_agent(inst):
    inst["agents"].append(dict(inst["agents"][0], type="van"))
    inst["costs"]["van"] = [[1000.0] * 4 for _ in range(4)]


def repeated_node(inst):
    inst["nodes"][3]["id"] = 1


def negative_cost(inst):
    inst["costs"]["car"][2][1] = -1.0


def reversed_window(inst):
    inst["constraints"].append({"kind": "timewindow", "items": [{"node": 2, "start": 9, "end": 3}]})


def no_agents(inst):
    inst["agents"] = []


def no_nodes(inst):
    inst["nodes"], inst["agents"], inst["constraints"][0]["items"] = [], [], []


def zero_budget(inst):
    inst["options"]["time_limit"] = 0


SET_UP_FAULTS = [
    (repeated_agent, "agent id 0 is used twice: by agents[0] and agents[1]"),
    (repeated_node, "node id 1 is used twice: by nodes[1] and nodes[3]"),
    (negative_cost, 'cost matrix for agent type "car": row 2, column 1 is -1'),
    (reversed_window, "time window of node 2: start 9 is after end 3"),
    (no_agents, "instance has no agents"),
    (no_nodes, "instance has no nodes"),
    (zero_budget, "time_limit must be a positive number of seconds, got 0"),
]


@pytest.mark.parametrize("change, message", SET_UP_FAULTS, ids=[c.__name__ for c, _ in SET_UP_FAULTS])
def test_both_roads_refuse_a_bad_instance_alike(change, message):
    inst = instance()
    change(inst)
    with pytest.raises(ValueError, match=None) as on_json_road:
        vok.solve_json_str(json.dumps(inst))
    assert message in str(on_json_road.value)
    problem, options = problem_from(inst)
    with pytest.raises(ValueError) as on_object_road:
        vok.Solver(problem, options)
    assert message in str(on_object_road.value)


def test_object_road_refuses_values_json_cannot_hold():
    for bad in (math.nan, math.inf, -math.inf):
        problem, options = problem_from(instance())
        problem.set_cost_matrix("car", [[0, 3, 5, bad], [3, 0, 4, 5], [5, 4, 0, 3], [4, 5, 3, 0]])
        with pytest.raises(ValueError, match="row 0, column 3"):
            vok.Solver(problem, options)
    problem, options = problem_from(instance())
    windows = vok.TimeWindowConstraint()
    windows.set_timewindow(3, math.nan, 10.0)
    problem.set_timewindow_constraint(windows)
    with pytest.raises(ValueError, match="node 3"):
        vok.Solver(problem, options)
    problem, options = problem_from(instance())
    for budget in (math.nan, -1.0):
        options.time_limit = budget
        with pytest.raises(ValueError, match="time_limit"):
            vok.Solver(problem, options)
    with pytest.raises(ValueError, match="time_limit"):
        vok.solve_json_str(json.dumps(instance()), time_limit=math.nan)


def test_an_agent_is_priced_by_its_own_type_whatever_its_key():
    inst = instance(agents=1)
    inst["costs"]["van"] = [[10 * c for c in row] for row in inst["costs"]["car"]]
    inst["constraints"][0]["items"] = [{"node": i, "types": ["car", "van"]} for i in range(4)]
    problem, options = problem_from(inst)
    van = vok.Agent()
    van.id, van.type = 1, "van"
    problem.add_agent(van, 7)  # filed under another key than its id
    problem.agents_ordered()[0].type = "van"  # and the first agent turned into a van
    solver = vok.Solver(problem, options)
    assert solver.solve() == 1
    result = solver.get_result()
    # Min-max over the square's three corners is 12 at car prices: both vans pay ten times that.
    assert max(result.times.values()) == pytest.approx(120.0)


def test_a_second_solve_starts_afresh():
    problem, options = problem_from(instance(agents=2))
    solver = vok.Solver(problem, options)
    assert solver.solve() == 1
    first, first_process = solver.get_result(), solver.get_result_process()
    assert solver.solve() == 1
    second, second_process = solver.get_result(), solver.get_result_process()
    assert second.paths == first.paths and second.times == first.times
    assert (second.n_generated, second.n_expanded) == (first.n_generated, first.n_expanded)
    assert len(second_process) == len(first_process) > 0


@pytest.mark.parametrize("agents", [3, 6])
def test_more_agents_than_targets_succeed(agents):
    inst = instance(agents=agents, points=[(0, 0), (3, 4)])
    result = vok.solve_json_str(json.dumps(inst))
    assert result["status"] == "success"
    routes = sorted((r["path"], r["cost"]) for r in result["routes"])
    assert routes == [([0, 0], 0.0)] * (agents - 1) + [([0, 1, 0], 10.0)]


def test_costs_of_any_size_give_the_same_routes():
    points = [(0, 0), (30, 10), (60, 0), (50, 40), (10, 50), (70, 70)]
    unit = instance(agents=2, points=points)
    large = json.loads(json.dumps(unit))
    large["costs"]["car"] = [[1000 * c for c in row] for row in unit["costs"]["car"]]
    small, big = vok.solve_json_str(json.dumps(unit)), vok.solve_json_str(json.dumps(large))
    assert [r["path"] for r in big["routes"]] == [r["path"] for r in small["routes"]]
    assert big["statistics"]["max_cost"] == pytest.approx(1000 * small["statistics"]["max_cost"])


def test_a_start_window_does_not_hold_at_departure():
    # Start at node 1, end at node 0; the start's window would delay departure past node 3's window.
    inst = instance(points=[(0, 0), (10, 0), (5, 0), (20, 0)])
    inst["agents"][0]["start_node"] = 1
    inst["constraints"].append({"kind": "timewindow", "items": [{"node": 1, "start": 100, "end": 200},
                                                                {"node": 2, "start": 0, "end": 50}]})
    result = vok.solve_json_str(json.dumps(inst))
    assert result["routes"][0] == {"agent_id": 0, "path": [1, 3, 2, 0], "cost": 30.0}


def test_paths_and_text_that_cannot_be_read_whole_are_refused(tmp_path):
    good = tmp_path / "good.json"
    good.write_text(json.dumps(instance()))
    with pytest.raises(ValueError, match="NUL"):
        vok.solve_json_file(str(good) + "\0ignored")
    with pytest.raises(RuntimeError, match="NUL character at byte offset 2"):
        vok.solve_json_str("{}\0" + json.dumps(instance()))
    with pytest.raises(ValueError, match="not a regular file"):
        vok.solve_json_file("/dev/zero")
    bad_bytes = tmp_path / "latin1.json"
    bad_bytes.write_bytes(json.dumps(instance()).replace('"car"', '"c\xe4r"').encode("latin-1"))
    offset = bad_bytes.read_bytes().index(b"\xe4")
    with pytest.raises(ValueError, match=f"{bad_bytes.name} is not UTF-8 text: byte 0xe4 at byte offset {offset}"):
        vok.solve_json_file(str(bad_bytes))


def test_parse_errors_quoting_part_of_a_character_stay_readable():
    # The parser quotes the first byte of the two that make up "ä": shown as \xc3, not a UnicodeDecodeError.
    with pytest.raises(RuntimeError, match=r"parse_error.*\\xc3"):
        vok.solve_json_str('{"nodes": [], "agents": [], "x": \u00e4}')


def run(args, timeout=60, **kwargs):
    return subprocess.run([sys.executable, *args], capture_output=True, text=True, timeout=timeout, **kwargs)


def test_a_fifo_is_refused_without_waiting_for_a_writer(tmp_path):
    fifo = tmp_path / "pipe.json"
    os.mkfifo(fifo)
    script = f"import _vok_core\ntry:\n    _vok_core.solve_json_file({str(fifo)!r})\nexcept ValueError as e:\n    print(e)\n"
    completed = run(["-c", script])
    assert "not a regular file" in completed.stdout
    cli = run(["-m", "vok", "convert", "tsplib", str(fifo), "--agents", "1"])
    assert cli.returncode == 2 and "not a regular file" in cli.stderr


def tsplib(tmp_path, coordinates):
    path = tmp_path / "tiny.tsp"
    lines = ["NAME: tiny", "TYPE: TSP", f"DIMENSION: {len(coordinates)}", "EDGE_WEIGHT_TYPE: EUC_2D",
             "NODE_COORD_SECTION"] + [f"{i + 1} {x} {y}" for i, (x, y) in enumerate(coordinates)] + ["EOF"]
    path.write_text("\n".join(lines) + "\n")
    return path


def written(tmp_path, name, text):
    path = tmp_path / name
    path.write_text(text)
    return path


@pytest.mark.parametrize("make, fragment", [
    (lambda tmp: written(tmp, "deep.json", "[" * 100000 + "]" * 100000), "nested too deeply"),
    (lambda tmp: written(tmp, "null.json", '{"nodes": null, "agents": null}'), "type must be array, but is null (at nodes)"),
    (lambda tmp: written(tmp, "zero.json", json.dumps(instance()).replace('"time_limit": 2.0', '"time_limit": 0')),
     "time_limit must be a positive number"),
])
def test_solve_reports_bad_instances_in_one_line(tmp_path, make, fragment):
    completed = run(["-m", "vok", "solve", str(make(tmp_path))])
    assert completed.returncode == 2 and completed.stdout == ""
    assert fragment in completed.stderr and "Traceback" not in completed.stderr
    assert completed.stderr.count("\n") == 1


@pytest.mark.parametrize("args, fragment", [
    (lambda tmp: ["tsplib", str(tsplib(tmp, [(0, 0), (1e308, -1e308), (-1e308, 1e308)])), "--agents", "1"],
     "not a finite number"),
    (lambda tmp: ["tsplib", "/dev/zero", "--agents", "1"], "not a regular file"),
    (lambda tmp: ["tsplib", str(tsplib(tmp, [(0, 0), (1, 1), (2, 0)])), "--agents", "99999999999999999999"],
     "more than this instance can use"),
])
def test_convert_reports_bad_input_in_one_line(tmp_path, args, fragment):
    completed = run(["-m", "vok", "convert", *args(tmp_path)])
    assert completed.returncode == 2 and completed.stdout == ""
    assert fragment in completed.stderr and "Traceback" not in completed.stderr
    assert completed.stderr.count("\n") == 1


def node_nobody_may_visit(inst):
    inst["constraints"][0]["items"][2]["types"] = []


def window_closing_before_any_arrival(inst):
    # Node 2 lies 5 from the depot along any road.
    inst["constraints"].append({"kind": "timewindow", "items": [{"node": 2, "start": 0, "end": 4}]})


def demand_above_every_capacity(inst):
    inst["options"]["enforce_capacity"] = True
    inst["agents"][0]["capacity"] = 3
    inst["nodes"][1]["demand"] = 4


def end_depot_closed_to_the_agent(inst):
    inst["agents"][0]["end_node"] = 3
    inst["constraints"][0]["items"][3]["types"] = ["van"]


@pytest.mark.parametrize("change, words", [
    (node_nobody_may_visit, "node 2: no agent may visit it"),
    (window_closing_before_any_arrival, "node 2: its time window closes at 4, before any agent"),
    (demand_above_every_capacity, "node 1: its demand 4 is above the capacity of every agent"),
    (end_depot_closed_to_the_agent, 'agent 0: its type "car" may not visit its end node 3'),
])
def test_an_instance_that_admits_no_plan_says_why(change, words):
    inst = instance()
    change(inst)
    with pytest.raises(ValueError, match=words):
        vok.solve_json_str(json.dumps(inst))
    problem, options = problem_from(inst)
    if not inst["options"].get("enforce_capacity"):  # the object-road helper carries no capacities
        with pytest.raises(ValueError, match=words):
            vok.Solver(problem, options)
