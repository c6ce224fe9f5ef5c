"""TSPLIB and Solomon files turned into instances, through the API and the command line."""

import json
import math
import subprocess
import sys
from pathlib import Path

import pytest

from vok.converters import ConversionError, build_instance, solomon_to_instance, to_json, tsplib_to_instance

# Header keys in both spellings, leading blanks on coordinate lines, a trailing empty line.
TSP = """NAME: tiny
COMMENT : four cities
TYPE : TSP
DIMENSION : 4
EDGE_WEIGHT_TYPE: EUC_2D
NODE_COORD_SECTION
1 0 0
 2 3 4
3 1.5 2
4 6 8
EOF

"""
# Distances: 0-1 = 5, 0-2 = 2.5 (nint rounds half up: 3), 1-2 = hypot(1.5, 2) = 2.5,
# 0-3 = 10, 1-3 = 5, 2-3 = hypot(4.5, 6) = 7.5.
REAL = [[0, 5, 2.5, 10], [5, 0, 2.5, 5], [2.5, 2.5, 0, 7.5], [10, 5, 7.5, 0]]
NINT = [[0, 5, 3, 10], [5, 0, 3, 5], [3, 3, 0, 8], [10, 5, 8, 0]]

SOLOMON = """C999

VEHICLE
NUMBER     CAPACITY
  25         200

CUSTOMER
CUST NO.  XCOORD.   YCOORD.    DEMAND   READY TIME  DUE DATE   SERVICE   TIME

    0      40         50          0          0       1236          0
    1      43         54         10        912        967         90
    2      40         60         30        825        870         90
    3      37         46         10         65        146         90
"""


def write(tmp_path, name, text):
    path = tmp_path / name
    path.write_text(text)
    return path


def assert_matrix(actual, expected):
    assert [len(row) for row in actual] == [len(row) for row in expected]
    assert [c for row in actual for c in row] == pytest.approx([c for row in expected for c in row])


def run_cli(*args):
    return subprocess.run([sys.executable, "-m", "vok", *map(str, args)], capture_output=True, text=True,
                          timeout=120)


@pytest.mark.parametrize("rounding, matrix", [("real", REAL), ("nint", NINT)])
def test_tsplib_nodes_matrix_and_agents(tmp_path, rounding, matrix):
    path = write(tmp_path, "tiny.tsp", TSP)
    instance = tsplib_to_instance(path, agents=2, depot=1, rounding=rounding, time_limit=3)
    assert [(n["id"], n["x"], n["y"], n["type"]) for n in instance["nodes"]] == [
        (0, 0, 0, "target"), (1, 3, 4, "depot"), (2, 1.5, 2, "target"), (3, 6, 8, "target")]
    assert_matrix(instance["costs"]["vehicle"], matrix)
    assert [(a["id"], a["start_node"], a["end_node"]) for a in instance["agents"]] == [(0, 1, 1), (1, 1, 1)]
    assert instance["options"] == {"objective": "min_max", "return_to_end": True, "time_limit": 3}
    items = instance["constraints"][0]["items"]
    assert [item["node"] for item in items] == [0, 1, 2, 3] and all(item["types"] == ["vehicle"] for item in items)

    completed = run_cli("convert", "tsplib", path, "--agents", 2, "--depot", 1, "--rounding", rounding,
                        "--time-limit", 3)
    assert completed.returncode == 0, completed.stderr
    assert json.loads(completed.stdout) == instance


@pytest.mark.parametrize("rounding", ["real", "nint"])
def test_tsplib_metric_form_solves_like_its_matrix(tmp_path, rounding):
    import _vok_core

    path = write(tmp_path, "tiny.tsp", TSP)
    completed = run_cli("convert", "tsplib", path, "--agents", 2, "--rounding", rounding, "--metric")
    assert completed.returncode == 0, completed.stderr
    instance = json.loads(completed.stdout)
    expected = {"metric": "euclidean", "round": "nint"} if rounding == "nint" else {"metric": "euclidean"}
    assert instance["costs"] == {"vehicle": expected}
    assert instance == dict(tsplib_to_instance(path, agents=2, rounding=rounding), costs={"vehicle": expected})
    by_matrix = _vok_core.solve_json_str(json.dumps(tsplib_to_instance(path, agents=2, rounding=rounding)))
    by_metric = _vok_core.solve_json_str(completed.stdout)
    assert by_metric["routes"] == by_matrix["routes"]
    assert by_metric["statistics"]["max_cost"] == by_matrix["statistics"]["max_cost"]


def test_solomon_windows_and_customer_limit(tmp_path):
    path = write(tmp_path, "c999.txt", SOLOMON)
    instance = solomon_to_instance(path, agents=3, customers=2, objective="min_sum")
    assert [(n["x"], n["y"], n["type"]) for n in instance["nodes"]] == [
        (40, 50, "depot"), (43, 54, "target"), (40, 60, "target")]
    assert_matrix(instance["costs"]["vehicle"], [[0, 5, 10], [5, 0, math.hypot(3, 6)], [10, math.hypot(3, 6), 0]])
    windows = [c for c in instance["constraints"] if c["kind"] == "timewindow"][0]["items"]
    assert windows == [{"node": 0, "start": 0, "end": 1236}, {"node": 1, "start": 912, "end": 967},
                       {"node": 2, "start": 825, "end": 870}]
    assert len(instance["agents"]) == 3 and instance["options"]["objective"] == "min_sum"
    assert "time_limit" not in instance["options"]
    assert len(solomon_to_instance(path, agents=1)["nodes"]) == 4
    with pytest.raises(ConversionError, match="asked for 4 customers but the file has 3"):
        solomon_to_instance(path, agents=1, customers=4)

    out = tmp_path / "c999.json"
    completed = run_cli("convert", "solomon", path, "--agents", 3, "--customers", 2, "--objective", "min_sum",
                        "--out", out)
    assert completed.returncode == 0 and completed.stdout == ""
    assert json.loads(out.read_text()) == instance


@pytest.mark.parametrize("flags, service, capacity", [
    ([], True, True), (["--no-service"], False, True), (["--no-capacity"], True, False),
    (["--no-service", "--no-capacity"], False, False),
])
def test_solomon_keeps_service_demand_and_capacity_unless_told_not_to(tmp_path, flags, service, capacity):
    path = write(tmp_path, "c999.txt", SOLOMON)
    instance = solomon_to_instance(path, agents=2, service=service, capacity=capacity)
    nodes, agents, options = instance["nodes"], instance["agents"], instance["options"]
    assert [n.get("service") for n in nodes] == ([0, 90, 90, 90] if service else [None] * 4)
    assert [n.get("demand") for n in nodes] == ([0, 10, 30, 10] if capacity else [None] * 4)
    assert [a.get("capacity") for a in agents] == ([200, 200] if capacity else [None, None])
    assert options.get("enforce_capacity") is (True if capacity else None)
    if not service and not capacity:  # the relaxed form is the converter's former output
        assert set(nodes[1]) == {"id", "x", "y", "type"} and set(agents[0]) == {"id", "type", "start_node", "end_node"}
        assert options == {"objective": "min_max", "return_to_end": True}

    completed = run_cli("convert", "solomon", path, "--agents", 2, *flags)
    assert completed.returncode == 0, completed.stderr
    assert json.loads(completed.stdout) == instance


@pytest.mark.parametrize("text, fragment", [
    ("\n".join(SOLOMON.splitlines()[5:]) + "\n", "no VEHICLE section gives the vehicle capacity"),
    (SOLOMON.replace("  25         200", "  25         two hundred"), "c999.txt:5: expected the vehicle count"),
    (SOLOMON.replace("  25         200", "  25         200.5"), "vehicle capacity 200.5 is not a 32-bit whole"),
    (SOLOMON.replace("NUMBER     CAPACITY", "FLEET"), "c999.txt:3: VEHICLE is not followed by"),
    (SOLOMON.replace("10        912", "-10        912"), "c999.txt:11: demand -10 and service time 90 may not be"),
])
def test_solomon_vehicle_section_and_quantities_are_checked(tmp_path, text, fragment):
    path = write(tmp_path, "c999.txt", text)
    with pytest.raises(ConversionError, match=fragment):
        solomon_to_instance(path, agents=2)
    completed = run_cli("convert", "solomon", path, "--agents", 2)
    assert completed.returncode == 2 and fragment in completed.stderr


def test_examples_keep_the_relaxed_solomon_form():
    # examples/make_examples.py converts C101 without service times and capacities.
    example = json.loads((Path(__file__).resolve().parents[2] / "examples" / "c101_25_customers_tw.json").read_text())
    assert not any("service" in n or "demand" in n for n in example["nodes"])
    assert "enforce_capacity" not in example["options"] and "capacity" not in example["agents"][0]


def replace_line(text, number, new):
    lines = text.splitlines()
    lines[number - 1] = new
    return "\n".join(lines) + "\n"


@pytest.mark.parametrize("fmt, text, line, fragment", [
    ("tsplib", replace_line(TSP, 8, "2 3 four"), 8, "not finite numbers"),
    ("tsplib", replace_line(TSP, 9, "3 1.5"), 9, "expected 'id x y'"),
    ("tsplib", replace_line(TSP, 5, "EDGE_WEIGHT_TYPE: GEO"), 5, "only EUC_2D"),
    ("tsplib", replace_line(TSP, 4, "DIMENSION: 5"), 4, "DIMENSION is 5 but 4"),
    ("tsplib", replace_line(TSP, 2, "a comment without a key"), 2, "KEY: value"),
    ("tsplib", TSP.replace("EOF", "EDGE_WEIGHT_SECTION"), 11, "EDGE_WEIGHT_SECTION is not supported"),
    ("solomon", replace_line(SOLOMON, 12, "    2      40         60         30        825        870"), 12,
     "expected 7 columns"),
    ("solomon", replace_line(SOLOMON, 11, "    1      43         x         10        912        967         90"), 11,
     "not finite numbers"),
    ("solomon", replace_line(SOLOMON, 12, "    7      40         60         30        825        870         90"), 12,
     "expected customer 2, got 7"),
    ("solomon", replace_line(SOLOMON, 13, "    3      37         46         10        146         65         90"), 13,
     "ready time 146 is after due date 65"),
])
def test_malformed_files_name_the_line(tmp_path, fmt, text, line, fragment):
    path = write(tmp_path, "bad.txt", text)
    convert = tsplib_to_instance if fmt == "tsplib" else solomon_to_instance
    with pytest.raises(ConversionError, match=fragment) as caught:
        convert(path, agents=2)
    assert f"{path}:{line}:" in str(caught.value)

    completed = run_cli("convert", fmt, path, "--agents", 2)
    assert completed.returncode == 2 and completed.stdout == ""
    assert f"{path}:{line}:" in completed.stderr and "Traceback" not in completed.stderr


@pytest.mark.parametrize("args, fragment", [
    (["convert", "tsplib", "{tsp}", "--agents", "2", "--depot", "4"], "depot 4 is not one of the 4 nodes"),
    (["convert", "tsplib", "{tsp}"], "--agents"),
    (["convert", "tsplib", "{tsp}", "--agents", "0"], "at least 1"),
    (["convert", "tsplib", "{tsp}", "--agents", "2", "--rounding", "ceil"], "invalid choice"),
    (["convert", "solomon", "{tsp}", "--agents", "2"], "no CUSTOMER section"),
    (["convert", "solomon", "{missing}", "--agents", "2"], "cannot read"),
])
def test_convert_rejects_bad_arguments_and_files(tmp_path, args, fragment):
    tsp = write(tmp_path, "tiny.tsp", TSP)
    completed = run_cli(*[a.format(tsp=tsp, missing=tmp_path / "none.txt") for a in args])
    assert completed.returncode == 2 and completed.stdout == ""
    assert fragment in completed.stderr and "Traceback" not in completed.stderr


def test_json_text_keeps_one_record_per_line():
    instance = build_instance([(i, i * i) for i in range(12)], agents=2)
    text = to_json(instance)
    assert json.loads(text) == instance
    records = [json.loads(line.strip().rstrip(",")) for line in text.splitlines()
               if line.strip().startswith(("{", "[")) and line.strip().rstrip(",").endswith(("}", "]"))]
    assert instance["costs"]["vehicle"] == [r for r in records if isinstance(r, list)]
    assert instance["nodes"] + instance["agents"] == [r for r in records if "x" in r or "start_node" in r]
