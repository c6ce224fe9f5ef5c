"""Service times and capacities on both roads, and converted Solomon files solved and re-checked by their own rules."""

import json
import math
import random

import pytest

import _vok_core as vok
from vok.converters import solomon_to_instance


def three_node_instance(window2=(0, 100), service=True):
    """Depot 0 at x = 0, targets 1 and 2 at x = 10 and 20; node 1 open [15, 25]. Services 5 and 7
    (and 3 at the depot, which takes none)."""
    points = [(0, 0), (10, 0), (20, 0)]
    nodes = [{"id": i, "x": x, "y": y} for i, (x, y) in enumerate(points)]
    if service:
        for node, s in zip(nodes, (3, 5, 7)):
            node["service"] = s
    return {
        "nodes": nodes,
        "agents": [{"id": 4, "type": "van", "start_node": 0, "end_node": 0}],
        "costs": {"van": [[abs(a[0] - b[0]) for b in points] for a in points]},
        "constraints": [
            {"kind": "assignment", "items": [{"node": i, "types": ["van"]} for i in range(3)]},
            {"kind": "timewindow", "items": [{"node": 1, "start": 15, "end": 25},
                                             {"node": 2, "start": window2[0], "end": window2[1]}]},
        ],
        "options": {"objective": "min_sum", "time_limit": 0.5},
    }


@pytest.mark.parametrize("window2, cost", [((0, 100), 57.0), ((35, 100), 62.0)])
def test_waiting_plus_service_on_both_roads(window2, cost):
    # Arrive at 1 at 10, wait until 15, serve until 20; reach 2 at 30 (or wait there until 35)
    # and serve 7; the hop home is 20: 57, or 62 with the later window.
    instance = three_node_instance(window2)
    result = vok.solve_json_str(json.dumps(instance))
    assert result["routes"][0]["path"] == [0, 1, 2, 0]
    assert result["routes"][0]["cost"] == pytest.approx(cost)

    problem = vok.Problem()
    for item in instance["nodes"]:
        node = vok.Node()
        node.id = item["id"]
        node.position.x = item["x"]
        node.service = item["service"]
        problem.add_node(node)
    agent = vok.Agent()
    agent.id, agent.type, agent.start_node, agent.end_node = 4, "van", 0, 0
    problem.add_agent(agent, 4)
    problem.set_cost_matrix("van", instance["costs"]["van"])
    assignment = vok.AssignmentConstraint()
    windows = vok.TimeWindowConstraint()
    for i in range(3):
        assignment.set_assignment(i, ["van"])
    windows.set_timewindow(1, 15, 25)
    windows.set_timewindow(2, *window2)
    problem.set_assignment_constraint(assignment)
    problem.set_timewindow_constraint(windows)
    options = vok.Options()
    options.time_limit = 0.5
    solver = vok.Solver(problem, options)
    assert solver.solve() == 1
    assert solver.get_result().times[0] == pytest.approx(cost)


def test_service_makes_a_feasible_route_infeasible():
    # Node 2 closes at 28: reached at 25 without service, at 30 after node 1's 5 of service.
    relaxed = vok.solve_json_str(json.dumps(three_node_instance((0, 28), service=False)))
    assert relaxed["status"] == "success" and relaxed["routes"][0]["cost"] == pytest.approx(45.0)
    instance = three_node_instance((0, 28))
    instance["options"]["improve"] = True
    assert vok.solve_json_str(json.dumps(instance))["status"] == "failed"


@pytest.mark.parametrize("where, key, value, message", [
    ("nodes", "service", -2, "node 2: service -2 is not a finite number >= 0"),
    ("nodes", "demand", -1.5, "node 2: demand -1.5 is not a finite number >= 0"),
    ("agents", "capacity", -3, "agent 4: capacity -3 is not a number >= 0"),
])
def test_negative_quantities_raise_value_error_naming_them(where, key, value, message):
    instance = three_node_instance()
    instance[where][-1][key] = value
    with pytest.raises(ValueError, match=message):
        vok.solve_json_str(json.dumps(instance))

    problem = vok.Problem()
    node = vok.Node()
    node.id = 0
    problem.add_node(node)
    agent = vok.Agent()
    agent.type = "van"
    if where == "agents":
        agent.id = 4
        agent.capacity_limit = value
    else:
        node.id = 2
        setattr(node, key, value)
        problem.add_node(node)
    problem.add_agent(agent, agent.id)
    with pytest.raises(ValueError, match=message):
        vok.Solver(problem, vok.Options())


def solomon_text(rng, customers, service, capacity):
    """A Solomon file with random customers, each of which one vehicle could serve alone."""
    horizon = 1236
    lines = ["R999", "", "VEHICLE", "NUMBER     CAPACITY", f"  25         {capacity}", "", "CUSTOMER",
             "CUST NO.  XCOORD.   YCOORD.    DEMAND   READY TIME  DUE DATE   SERVICE   TIME", "",
             f"    0      40         50          0          0       {horizon}          0"]
    for c in range(1, customers + 1):
        x, y = rng.randint(0, 80), rng.randint(10, 90)
        reach = math.ceil(math.hypot(x - 40, y - 50))
        width = rng.randint(30, 200)
        ready = rng.randint(reach, horizon - 2 * reach - service - width)
        lines.append(f"{c:5d} {x:6d} {y:6d} {rng.randint(5, 40):6d} {ready:6d} {ready + width:6d} {service:6d}")
    return "\n".join(lines) + "\n"


def recheck_by_published_rules(text, customers, routes, costs):
    """Solomon's rules from the file's own columns: every customer once, a vehicle starts service
    within the window (waiting if early), serves for the service time, carries no more than the
    capacity, and returns to the depot by its due date. Returns each route's completion time."""
    lines = text.splitlines()
    capacity = float(lines[lines.index("NUMBER     CAPACITY") + 1].split()[1])
    rows = [list(map(float, line.split())) for line in lines[lines.index("CUSTOMER") + 2:] if line.strip()]
    rows = rows[: customers + 1]
    seen = []
    for path, cost in zip(routes, costs):
        if not path:
            continue
        assert path[0] == 0 and path[-1] == 0
        t = load = 0.0
        for u, v in zip(path, path[1:]):
            t += math.hypot(rows[u][1] - rows[v][1], rows[u][2] - rows[v][2])
            _, _, _, demand, ready, due, service = rows[v]
            assert t <= due + 1e-9, f"customer {v} reached at {t}, due {due}"
            t = max(t, ready) + (service if v != 0 else 0.0)
            load += demand
        assert load <= capacity
        assert cost == pytest.approx(t, abs=1e-6)
        seen += path[1:-1]
    assert sorted(seen) == list(range(1, customers + 1))


@pytest.mark.parametrize("seed, service, capacity", [(1, 90, 200), (2, 10, 60)])
def test_converted_solomon_file_solves_to_routes_the_published_rules_accept(tmp_path, seed, service, capacity):
    text = solomon_text(random.Random(seed), 25, service, capacity)
    path = tmp_path / "R999.txt"
    path.write_text(text)
    instance = solomon_to_instance(path, agents=25, objective="min_sum", time_limit=1.0)
    assert instance["options"]["enforce_capacity"] is True
    assert {a["capacity"] for a in instance["agents"]} == {capacity}
    assert {n["service"] for n in instance["nodes"][1:]} == {service} and instance["nodes"][0]["service"] == 0
    instance["options"].update(improve=True, seed=1)
    result = vok.solve_json_str(json.dumps(instance))
    assert result["status"] == "success"
    recheck_by_published_rules(text, 25, [r["path"] for r in result["routes"]], [r["cost"] for r in result["routes"]])
