"""Regenerates the example instances in this folder.

    python examples/make_examples.py

Reads the public benchmark files in ../shared/benchmarks (or the folder given as
the first argument) with the ``vok`` package's readers. The examples that show
the quality of the routes (eil51, C101) turn the improvement stage on.
"""

import json
import math
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
# The package of this source tree (its compiled core comes from the installed module).
sys.path.insert(0, str(HERE.parent / "python"))

from vok.converters import build_instance, solomon_to_instance, tsplib_to_instance  # noqa: E402


def write(name, instance):
    (HERE / name).write_text(json.dumps(instance, indent=1) + "\n")
    print("wrote", name)


def two_type_warehouse():
    """Ground robots (Manhattan moves) and drones (straight lines, faster); some
    shelves are only reachable by one kind."""
    points = [(0, 0), (2, 8), (5, 3), (9, 9), (1, 5), (7, 1), (4, 6), (8, 5), (3, 2), (6, 8), (9, 3)]
    ground = [[abs(a[0] - b[0]) + abs(a[1] - b[1]) for b in points] for a in points]
    drone = [[round(math.hypot(a[0] - b[0], a[1] - b[1]) / 1.5, 3) for b in points] for a in points]
    only_drone = {3, 9}
    only_ground = {2, 5, 8}
    items = []
    for i in range(len(points)):
        types = ["drone"] if i in only_drone else ["ground"] if i in only_ground else ["ground", "drone"]
        items.append({"node": i, "types": types})
    return {
        "nodes": [{"id": i, "x": x, "y": y, "type": "depot" if i == 0 else "target"} for i, (x, y) in enumerate(points)],
        "agents": [
            {"id": 0, "type": "ground", "start_node": 0, "end_node": 0},
            {"id": 1, "type": "ground", "start_node": 0, "end_node": 0},
            {"id": 2, "type": "drone", "start_node": 0, "end_node": 0, "max_length": 30},
        ],
        "costs": {"ground": ground, "drone": drone},
        "constraints": [{"kind": "assignment", "items": items}],
        "options": {"objective": "min_max", "time_limit": 5},
    }


def open_routes():
    """Inspection robots that start at two charging docks and stop where their last task is."""
    points = [(0, 0), (20, 20), (3, 7), (6, 2), (9, 11), (12, 4), (15, 15), (17, 8), (5, 16), (11, 18), (19, 1)]
    instance = build_instance(points, agents=1, objective="min_max", time_limit=5, return_to_end=False)
    instance["nodes"][1]["type"] = "depot"
    instance["agents"] = [
        {"id": 0, "type": "vehicle", "start_node": 0, "end_node": 0},
        {"id": 1, "type": "vehicle", "start_node": 1, "end_node": 1},
    ]
    return instance


def improving(instance):
    instance["options"]["improve"] = True
    return instance


def main():
    benchmarks = Path(sys.argv[1]) if len(sys.argv) > 1 else HERE.parent.parent / "shared" / "benchmarks"
    write("eil51_3_agents.json",
          improving(tsplib_to_instance(benchmarks / "tsplib" / "eil51.tsp", agents=3, time_limit=5)))
    write("c101_25_customers_tw.json",
          improving(solomon_to_instance(benchmarks / "solomon" / "C101.txt", agents=3, customers=25, time_limit=5,
                                        service=False, capacity=False)))
    write("warehouse_two_types.json", two_type_warehouse())
    write("open_routes.json", open_routes())


if __name__ == "__main__":
    main()
