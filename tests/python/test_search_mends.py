"""Small feasible instances the search alone used to answer "failed" on: every one must now solve, and its
routes must pass the route checker."""

import json
import math
import sys
from pathlib import Path

import pytest

import _vok_core

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))

from route_check import check_routes  # noqa: E402

POINTS = [(0, 0), (10, 0), (10, 10), (0, 10), (5, 5), (20, 5)]


def instance(nodes=5, agents=2, objective="min_max"):
    points = POINTS[:nodes]
    return {
        "nodes": [{"id": i, "x": x, "y": y} for i, (x, y) in enumerate(points)],
        "agents": [{"id": k, "type": "car", "start_node": 0, "end_node": 0} for k in range(agents)],
        "costs": {"car": [[math.dist(a, b) for b in points] for a in points]},
        "constraints": [{"kind": "assignment", "items": [{"node": i, "types": ["car"]} for i in range(nodes)]}],
        "options": {"time_limit": 5, "objective": objective},
    }


def late_window(inst):
    inst["constraints"].append({"kind": "timewindow", "items": [{"node": 2, "start": 50000, "end": 60000}]})


def long_service(inst):
    inst["nodes"][3]["service"] = 100000


def empty_row(inst):
    inst["costs"]["car"][2] = []


def first_agent_without_costs(inst):
    # Type 0 ("drone") has no matrix and may visit no target: it can only stay at the depot.
    inst["agents"][0]["type"] = "drone"
    inst["constraints"][0]["items"][0]["types"] = ["car", "drone"]


def many_agents(inst):
    inst["agents"] = [{"id": k, "type": "car", "start_node": 0, "end_node": 0} for k in range(200)]


@pytest.mark.parametrize("change", [late_window, long_service, empty_row, first_agent_without_costs, many_agents])
@pytest.mark.parametrize("objective", ["min_max", "min_sum"])
def test_the_search_alone_finds_routes(change, objective):
    inst = instance(nodes=6, objective=objective)
    change(inst)
    result = _vok_core.solve_json_str(json.dumps(inst))
    assert result["status"] == "success", result["statistics"]
    check = check_routes(inst, [route["path"] for route in result["routes"]],
                         [route["cost"] for route in result["routes"]])
    assert check.valid, check.problems
    assert not check.mismatches, check.mismatches
