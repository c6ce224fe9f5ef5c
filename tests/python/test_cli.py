"""The `vok` command line as a user runs it: a subprocess on the shipped examples."""

import importlib.metadata
import importlib.util
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

import vok
from vok.cli import main

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
BUDGET = 10.0  # far more than these small searches need, so they end on their own


def run_cli(*args, **kwargs):
    return subprocess.run([sys.executable, "-m", "vok", *map(str, args)], capture_output=True, text=True,
                          timeout=300, **kwargs)


def example(name):
    path = EXAMPLES / name
    if not path.exists():
        pytest.skip(f"{path} is not shipped with this installation")
    return path


def write_variant(tmp_path, name, change):
    instance = json.loads(example(name).read_text())
    change(instance)
    path = tmp_path / name
    path.write_text(json.dumps(instance))
    return path


def without_assignment(instance):
    instance["constraints"] = []


def routes_too_short_for_any_target(instance):
    for agent in instance["agents"]:
        agent["max_length"] = 1


def routes_of(result):
    return result["status"], result["timeout"], [(r["agent_id"], r["path"], r["cost"]) for r in result["routes"]]


@pytest.mark.parametrize("name, objective", [
    ("open_routes.json", None),
    ("c101_25_customers_tw.json", None),
    ("c101_25_customers_tw.json", "min_sum"),
])
def test_solve_prints_and_writes_what_the_core_returns(tmp_path, name, objective):
    path = example(name)
    instance = json.loads(path.read_text())
    instance["options"]["improve"] = False  # the search alone repeats exactly
    if objective:
        instance["options"]["objective"] = objective
    expected = vok.solve_json_str(json.dumps(instance), BUDGET)
    assert expected["status"] == "success" and not expected["timeout"]

    out = tmp_path / "result.json"
    args = ["solve", path, "--search-only", "--time-limit", BUDGET, "--out", out] + \
        (["--objective", objective] if objective else [])
    completed = run_cli(*args)
    assert completed.returncode == 0, completed.stderr
    written = json.loads(out.read_text())
    assert routes_of(written) == routes_of(expected)
    assert written["statistics"]["max_cost"] == expected["statistics"]["max_cost"]
    assert written["statistics"]["sum_cost"] == expected["statistics"]["sum_cost"]
    assert [(a["max_cost"], a["sum_cost"]) for a in written["anytime"]] == \
        [(a["max_cost"], a["sum_cost"]) for a in expected["anytime"]]

    ids = [node["id"] for node in instance["nodes"]]
    shown = instance["options"]["objective"]
    assert f"objective {shown}" in completed.stdout and "status success" in completed.stdout
    for route in expected["routes"]:
        line = next(ln for ln in completed.stdout.splitlines() if ln.split()[:1] == [str(route["agent_id"])])
        assert f"{route['cost']:.3f}" in line
        assert line.endswith(" -> ".join(str(ids[i]) for i in route["path"]))
    assert f"max cost {expected['statistics']['max_cost']:.3f}" in completed.stdout
    assert len(completed.stdout.split("improvements")[1].splitlines()) == 2 + len(expected["anytime"])


def test_solver_diagnostics_go_to_stderr_or_nowhere_with_quiet(tmp_path):
    path = write_variant(tmp_path, "open_routes.json", without_assignment)
    loud = run_cli("solve", path)
    assert loud.returncode == 0
    assert "[warning]" in loud.stderr and "[warning]" not in loud.stdout
    assert "status success" in loud.stdout

    out = tmp_path / "result.json"
    quiet = run_cli("solve", path, "--quiet", "--out", out)
    assert quiet.returncode == 0 and quiet.stdout == "" and quiet.stderr == ""
    assert json.loads(out.read_text())["status"] == "success"


def test_instance_nobody_can_complete_exits_1(tmp_path):
    path = write_variant(tmp_path, "open_routes.json", routes_too_short_for_any_target)
    out = tmp_path / "result.json"
    completed = run_cli("solve", path, "--time-limit", BUDGET, "--out", out)
    assert completed.returncode == 1, completed.stderr
    assert "status failed" in completed.stdout and "(no route)" in completed.stdout
    assert "w = 1" not in completed.stdout  # the core's own lines stay off the table
    result = json.loads(out.read_text())
    assert result["status"] == "failed" and all(r["path"] == [] for r in result["routes"])


def text_file(tmp_path, text):
    path = tmp_path / "instance.json"
    path.write_text(text)
    return path


def set_start_node(value):
    def change(instance):
        instance["agents"][0]["start_node"] = value
    return change


@pytest.mark.parametrize("make, extra, fragment", [
    (lambda tmp: tmp / "missing.json", [], "cannot read"),
    (lambda tmp: tmp, [], "cannot read"),
    (lambda tmp: text_file(tmp, '{"nodes": ['), [], "invalid JSON at line 1"),
    (lambda tmp: text_file(tmp, "[1, 2]"), [], "JSON object"),
    (lambda tmp: text_file(tmp, '{"nodes": [], "agents": [], "options": {"time_limit": NaN}}'), [], "NaN"),
    (lambda tmp: write_variant(tmp, "open_routes.json", lambda i: i.pop("agents")), [], "key 'agents' not found"),
    (lambda tmp: write_variant(tmp, "open_routes.json", set_start_node(42)), [], "42"),
    (lambda tmp: write_variant(tmp, "open_routes.json", set_start_node("0")), [], "type must be number"),
    (lambda tmp: write_variant(tmp, "open_routes.json", lambda i: i.update(options=3)), ["--objective", "min_sum"],
     "\"options\" is not an object"),
    (lambda tmp: EXAMPLES / "open_routes.json", ["--time-limit", "0"], "positive"),
    (lambda tmp: EXAMPLES / "open_routes.json", ["--objective", "fastest"], "invalid choice"),
    (lambda tmp: EXAMPLES / "open_routes.json", ["--out", "/no/such/folder/r.json"], "folder does not exist"),
])
def test_bad_instances_and_arguments_exit_2(tmp_path, make, extra, fragment):
    completed = run_cli("solve", make(tmp_path), *extra)
    assert completed.returncode == 2
    assert completed.stdout == ""
    assert fragment in completed.stderr and "Traceback" not in completed.stderr


def test_plot_writes_a_png_or_explains_how_to_get_matplotlib(tmp_path):
    path = example("open_routes.json")
    png = tmp_path / "routes.png"
    script = ("import sys; sys.modules['matplotlib'] = None\nfrom vok.cli import main\n"
              f"sys.exit(main(['solve', {str(path)!r}, '--plot', {str(png)!r}]))")
    blocked = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=300)
    assert blocked.returncode == 2 and "vok[plot]" in blocked.stderr and not png.exists()

    if importlib.util.find_spec("matplotlib") is None:
        pytest.skip("matplotlib is not installed")
    completed = run_cli("solve", path, "--quiet", "--plot", png)
    assert completed.returncode == 0, completed.stderr
    assert png.read_bytes().startswith(b"\x89PNG\r\n\x1a\n")


def test_main_returns_exit_codes_instead_of_raising(capsys):
    assert main(["--version"]) == 0
    assert vok.__version__ in capsys.readouterr().out
    assert main([]) == 2
    assert main(["convert"]) == 2
    assert "required" in capsys.readouterr().err


def test_console_script_is_declared():
    try:
        dist = importlib.metadata.distribution("vok")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("the vok package metadata is not installed")
    scripts = {ep.name: ep.value for ep in dist.entry_points if ep.group == "console_scripts"}
    assert scripts.get("vok") == "vok.cli:main"


def test_solve_improves_by_default_and_the_search_alone_on_request(tmp_path):
    # README's first command: eil51 with 3 agents within 1 % of the best known 159.57 in its 5 s.
    out = tmp_path / "result.json"
    completed = run_cli("solve", example("eil51_3_agents.json"), "--out", out)
    assert completed.returncode == 0, completed.stderr
    result = json.loads(out.read_text())
    assert result["statistics"]["improve_iterations"] > 0
    assert result["statistics"]["max_cost"] <= 1.01 * 159.57
    assert all(route["schedule"][-1]["departure"] == route["cost"] for route in result["routes"])

    alone = run_cli("solve", example("open_routes.json"), "--search-only", "--improve", "--out", out)
    assert alone.returncode == 0, alone.stderr
    assert json.loads(out.read_text())["statistics"]["improve_iterations"] == 0


def test_closed_or_vanishing_stdout_is_no_crash(tmp_path):
    path = example("open_routes.json")
    for quiet in (["--quiet"], []):
        closed = subprocess.run([sys.executable, "-m", "vok", "solve", str(path), "--time-limit", "1", *quiet],
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, timeout=120,
                                preexec_fn=lambda: os.close(1))
        assert closed.returncode == 0 and closed.stderr == ""
    # A reader that stops at once: the routes still reach --out and the status is the solve's.
    out = tmp_path / "result.json"
    reader = subprocess.Popen([sys.executable, "-m", "vok", "solve", str(path), "--time-limit", "1", "--out", str(out)],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    reader.stdout.close()
    assert reader.wait(timeout=120) == 0
    assert reader.stderr.read() == b"" and json.loads(out.read_text())["status"] == "success"
    reader.stderr.close()
    # A standard output that fails (a full disk) is said in one line, after --out is written.
    out.unlink()
    with open("/dev/full", "w") as full:
        failed = subprocess.run([sys.executable, "-m", "vok", "solve", str(path), "--time-limit", "1", "--out",
                                 str(out)], stdout=full, stderr=subprocess.PIPE, text=True, timeout=120)
    assert failed.returncode == 2
    assert failed.stderr == "vok: solve: cannot write standard output: No space left on device\n"
    assert json.loads(out.read_text())["status"] == "success"
    # A converted instance with nowhere to go is no success.
    tsp = tmp_path / "three.tsp"
    tsp.write_text("NAME: t\nTYPE: TSP\nDIMENSION: 3\nEDGE_WEIGHT_TYPE: EUC_2D\nNODE_COORD_SECTION\n"
                   "1 0 0\n2 3 0\n3 0 4\nEOF\n")
    closed = subprocess.run([sys.executable, "-m", "vok", "convert", "tsplib", str(tsp), "--agents", "1"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, timeout=120,
                            preexec_fn=lambda: os.close(1))
    assert closed.returncode == 2 and "standard output is closed; name a file with --out" in closed.stderr


def test_argument_errors_are_one_line_and_exit_2():
    for args, fragment in ((["solve"], "vok: solve: the following arguments are required: INSTANCE.json"),
                           (["solve", "x.json", "--seed", "one"], "vok: solve: argument --seed: invalid int value"),
                           (["convert", "tsplib", "x.tsp"], "vok: convert tsplib: the following arguments"),
                           (["sweep-it"], "vok: argument COMMAND: invalid choice: 'sweep-it'")):
        completed = run_cli(*args)
        assert completed.returncode == 2 and completed.stdout == ""
        assert completed.stderr.startswith(fragment) and completed.stderr.count("\n") == 1, completed.stderr


def test_a_byte_order_mark_is_read_and_a_huge_number_is_placed_in_the_users_file(tmp_path):
    text = example("open_routes.json").read_text()
    marked = tmp_path / "marked.json"
    marked.write_bytes(b"\xef\xbb\xbf" + text.encode())
    completed = run_cli("solve", marked, "--time-limit", 1)
    assert completed.returncode == 0, completed.stderr
    assert vok.solve_json_file(str(marked), 1.0)["status"] == "success"  # as the library reads it

    lines = text.splitlines()
    row = next(i for i, line in enumerate(lines) if '"time_limit"' in line)
    lines[row] = lines[row].replace('"time_limit": 5', '"time_limit": 1e999')
    huge = tmp_path / "huge.json"
    huge.write_bytes(b"\xef\xbb\xbf" + "\n".join(lines).encode())
    completed = run_cli("solve", huge, "--objective", "min_sum")
    column = lines[row].index("1e999") + 1
    assert completed.returncode == 2 and completed.stderr.count("\n") == 1
    assert f"line {row + 1}, column {column}: the number 1e999" in completed.stderr
    # A whole number too large for a double is placed the same way.
    huge.write_text("\n".join(lines).replace("1e999", "1" + "0" * 400))
    completed = run_cli("solve", huge)
    assert completed.returncode == 2 and completed.stderr.count("\n") == 1
    assert f"line {row + 1}, column {column}: the number 1000000" in completed.stderr
    assert "(401 characters) is too large for a double" in completed.stderr


def test_convert_metric_refuses_overflowing_distances(tmp_path):
    path = tmp_path / "far.tsp"
    coords = "\n".join(f"{i + 1} {x} {y}" for i, (x, y) in enumerate([(0, 0), (1e200, 0), (0, 1e200)]))
    path.write_text(f"NAME: far\nTYPE: TSP\nDIMENSION: 3\nEDGE_WEIGHT_TYPE: EUC_2D\nNODE_COORD_SECTION\n{coords}\nEOF\n")
    completed = run_cli("convert", "tsplib", path, "--agents", 1, "--metric")
    assert completed.returncode == 2 and completed.stdout == "" and completed.stderr.count("\n") == 1
    assert f"vok: {path}: the distance from node 0 to node 1 is not a finite number" in completed.stderr
