"""Precedence pairs, opt-in: set-up checks on both roads, the warning when they are not enforced, and solves
whose every route the independent route checker (bench/route_check.py) re-checks with the pairs."""

import json
import random
import sys
from pathlib import Path

import pytest

import _vok_core
from vok.cli import main

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))

from route_check import check_routes  # noqa: E402


def line(pairs, enforce=True, agents=2, **options):
    """Depot 0 at x = 0, targets 1, 2, 3 at x = 10, 20, 30."""
    return {
        "nodes": [{"id": i, "x": 10.0 * i, "y": 0.0} for i in range(4)],
        "agents": [{"id": k, "type": "a", "start_node": 0, "end_node": 0} for k in range(agents)],
        "costs": {"a": {"metric": "euclidean"}},
        "constraints": [{"kind": "assignment", "items": [{"node": i, "types": ["a"]} for i in range(4)]},
                        {"kind": "sequence", "precedence": [
                            {"before": b, "after": a, "type": t} for b, a, t in pairs]}],
        "options": dict({"time_limit": 1.0, "enforce_precedence": enforce}, **options),
    }


def object_road(instance):
    problem = _vok_core.Problem()
    for item in instance["nodes"]:
        node = _vok_core.Node()
        node.id, node.position.x = item["id"], item["x"]
        problem.add_node(node)
    for item in instance["agents"]:
        agent = _vok_core.Agent()
        agent.type, agent.start_node, agent.end_node = "a", item["start_node"], item["end_node"]
        problem.add_agent(agent, id=item["id"])
    problem.set_cost_metric("a", "euclidean")
    for pair in instance["constraints"][1]["precedence"]:
        problem.add_precedence(pair["before"], pair["after"], pair["type"])
    options = _vok_core.Options()
    options.enforce_precedence, options.time_limit = True, 1.0
    return problem, options


@pytest.mark.parametrize("pairs, message", [
    ([(1, 7, "")], r"precedence pair \(1, 7\): 7 is not the id of any node"),
    ([(0, 2, "diff")], r"precedence pair \(0, 2\): node 0 is an agent's start or end node"),
    ([(3, 3, "same")], r"precedence pair \(3, 3\): a node cannot precede itself"),
    ([(1, 2, ""), (2, 3, "same"), (3, 1, "diff")], r"precedence pair \(3, 1\) closes a cycle of pairs: 1 -> 2 -> 3 -> 1"),
])
def test_bad_pairs_are_refused_on_both_roads(pairs, message):
    instance = line(pairs)
    with pytest.raises(ValueError, match=message):
        _vok_core.solve_json_str(json.dumps(instance))
    with pytest.raises(ValueError, match=message):
        _vok_core.Solver(*object_road(instance))
    # Not enforced, the same pairs are only a warning, as before.
    instance["options"]["enforce_precedence"] = False
    assert _vok_core.solve_json_str(json.dumps(instance))["status"] == "success"


def test_a_same_pair_needs_one_agent_type_for_both_nodes():
    instance = line([(1, 2, "same")])
    instance["agents"][1]["type"] = "b"
    instance["costs"]["b"] = {"metric": "euclidean"}
    instance["constraints"][0]["items"][1]["types"] = ["a"]
    instance["constraints"][0]["items"][2]["types"] = ["b"]
    with pytest.raises(ValueError, match=r"precedence pair \(1, 2\) of type \"same\": no agent may visit both"):
        _vok_core.solve_json_str(json.dumps(instance))


def test_pairs_left_unenforced_warn_once_and_change_nothing(capfd):
    pairs = [(3, 1, ""), (2, 1, "same")]
    plain = line([], enforce=False)
    ignored = line(pairs, enforce=False)
    before = _vok_core.solve_json_str(json.dumps(plain))
    capfd.readouterr()
    after = _vok_core.solve_json_str(json.dumps(ignored))
    warnings = [w for w in capfd.readouterr().err.splitlines() if "precedence" in w]
    assert warnings == ['[warning] 2 precedence pairs are not enforced; the option "enforce_precedence": true '
                        '(Options.enforce_precedence, vok solve --enforce-precedence) enforces them']
    assert [r["path"] for r in after["routes"]] == [r["path"] for r in before["routes"]]
    assert after["statistics"]["sum_cost"] == before["statistics"]["sum_cost"]


def test_one_wait_worked_by_hand_with_its_timetable():
    # Targets 1 at x = 10 and 2 at x = 30 on two routes: whoever serves 1 waits there until 30.
    instance = line([(2, 1, "diff")], objective="min_max", schedule=True)
    instance["nodes"] = instance["nodes"][:3]
    instance["nodes"][2]["x"] = 30.0
    instance["constraints"][0]["items"] = instance["constraints"][0]["items"][:3]
    result = _vok_core.solve_json_str(json.dumps(instance))
    routes = [r["path"] for r in result["routes"]]
    check = check_routes(instance, routes, claimed_costs=[r["cost"] for r in result["routes"]])
    assert check.valid and not check.mismatches, check.problems + check.mismatches
    waits = {stop["node"]: stop["wait"] for r in result["routes"] for stop in r["schedule"]}
    assert waits[1] == 20.0  # reached at 10, service may start at 30
    assert sorted(r["cost"] for r in result["routes"]) == [40.0, 60.0]
    for r in result["routes"]:
        assert r["schedule"][-1]["departure"] == r["cost"]


def test_the_checker_finds_broken_pairs():
    instance = line([(3, 1, "diff"), (2, 3, "same")])
    # 2 and 3 on one route in order, 1 on the other waiting until 30: back at 40.
    good = check_routes(instance, [[0, 2, 3, 0], [0, 1, 0]], claimed_costs=[60.0, 40.0])
    assert good.valid and not good.mismatches
    assert "both nodes are on the route" in " ".join(check_routes(instance, [[0, 2, 3, 1, 0], []]).problems)
    assert "not earlier" in " ".join(check_routes(instance, [[0, 3, 2, 0], [0, 1, 0]]).problems)
    # Without the wait the solver's claim would be 20 for the second route.
    assert check_routes(instance, [[0, 2, 3, 0], [0, 1, 0]], claimed_costs=[60.0, 20.0]).mismatches
    circle = dict(instance, constraints=instance["constraints"][:1] + [
        {"kind": "sequence", "precedence": [{"before": 3, "after": 1}, {"before": 2, "after": 3}]}])
    assert "circle" in " ".join(check_routes(circle, [[0, 1, 2, 0], [0, 3, 0]]).problems)


def random_instance(rng, n, share):
    points = [(rng.uniform(0, 100), rng.uniform(0, 100)) for _ in range(n)]
    targets = list(range(1, n))
    rng.shuffle(targets)
    paired = targets[:max(2, int(share * len(targets))) // 2 * 2]
    pairs = [{"before": paired[k], "after": paired[k + 1], "type": ("same", "diff", "")[k // 2 % 3]}
             for k in range(0, len(paired), 2)]
    windows = [{"node": v, "start": 0.0, "end": 600.0} for v in targets[::4]]
    return {
        "nodes": [{"id": i, "x": x, "y": y, "service": 0.0 if i == 0 else 2.0} for i, (x, y) in enumerate(points)],
        "agents": [{"id": k, "type": "a", "start_node": 0, "end_node": 0} for k in range(3)],
        "costs": {"a": {"metric": "euclidean"}},
        "constraints": [{"kind": "assignment", "items": [{"node": i, "types": ["a"]} for i in range(n)]},
                        {"kind": "timewindow", "items": windows},
                        {"kind": "sequence", "precedence": pairs}],
        "options": {"time_limit": 0.5, "enforce_precedence": True, "improve": True, "seed": 1},
    }


@pytest.mark.parametrize("seed", range(4))
def test_random_solves_keep_every_pair(seed, tmp_path):
    rng = random.Random(seed)
    instance = random_instance(rng, 14 + 4 * seed, 0.1 + 0.07 * seed)
    instance["options"]["objective"] = ("min_sum", "min_max")[seed % 2]
    instance["options"]["improve"] = seed != 0
    # Two workers time plans side by side, each with working data of its own.
    instance["options"]["threads"] = 2 if seed == 2 else 1
    result = _vok_core.solve_json_str(json.dumps(instance))
    assert result["status"] == "success"
    check = check_routes(instance, [r["path"] for r in result["routes"]],
                         claimed_costs=[r["cost"] for r in result["routes"]])
    assert check.valid and not check.mismatches, check.problems + check.mismatches
    if seed == 3:  # the command line's flag turns the pairs on too
        instance["options"]["enforce_precedence"] = False
        path, out = tmp_path / "in.json", tmp_path / "out.json"
        path.write_text(json.dumps(instance))
        assert main(["solve", str(path), "--enforce-precedence", "--quiet", "--out", str(out)]) == 0
        routes = [r["path"] for r in json.loads(out.read_text())["routes"]]
        instance["options"]["enforce_precedence"] = True
        assert check_routes(instance, routes).valid
