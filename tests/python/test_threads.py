"""The improvement stage on several threads: routes and reports of the shared best, repeatable capped
runs, and the option's checks on every road. Budgets are processor seconds; nothing here asserts on
speed."""

import json
import subprocess
import sys
import threading
from pathlib import Path

import pytest

import _vok_core

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "bench"))

from make_random import make_instance  # noqa: E402
from route_check import check_routes  # noqa: E402


def solve(instance, **options):
    instance = dict(instance, options=dict(instance["options"], improve=True, **options))
    return _vok_core.solve_json_str(json.dumps(instance))


def assert_routes(instance, result):
    assert result["status"] == "success", result
    objective = instance["options"]["objective"]
    check = check_routes(instance, [r["path"] for r in result["routes"]],
                         claimed_costs=[r["cost"] for r in result["routes"]],
                         claimed_objective=result["statistics"][f"{objective[4:]}_cost"])
    assert check.valid and not check.mismatches, (check.problems, check.mismatches)


@pytest.mark.parametrize("nodes, objective, variant", [
    (60, "min_max", "windows"), (80, "min_sum", "plain"), (300, "min_sum", "windows")])
def test_the_shared_best_keeps_every_rule_and_each_better_one_is_reported_on_the_calling_thread(
        nodes, objective, variant):
    instance = make_instance(nodes, 4, objective, variant, seed=nodes)
    instance["options"].update(improve=True, threads=2, time_limit=1.0)
    seen = []
    result = _vok_core.solve_json_str(json.dumps(instance),
                                      on_improvement=lambda entry: seen.append((entry, threading.get_ident())))
    assert_routes(instance, result)
    assert [entry for entry, _ in seen] == result["anytime"]
    assert {ident for _, ident in seen} == {threading.get_ident()}
    key = f"{objective[4:]}_cost"
    values = [entry[key] for entry in result["anytime"]]
    assert values == sorted(values, reverse=True) and values[-1] == pytest.approx(result["statistics"][key])
    times = [entry["time"] for entry in result["anytime"]]
    assert times == sorted(times)
    assert result["statistics"]["stop_reason"] in ("time_limit", "no_improvement")


def test_an_iteration_cap_repeats_the_run_for_a_seed_and_a_thread_count():
    # Above 256 nodes the workers build their first solutions themselves; the workers share at 1000 iterations.
    for instance, threads in ((make_instance(50, 3, "min_max", "windows", seed=4), 3),
                              (make_instance(300, 5, "min_sum", "windows", seed=2), 2)):
        runs = [solve(instance, threads=threads, seed=11, improve_iterations=1100, time_limit=120) for _ in range(2)]
        for result in runs:
            assert_routes(instance, result)
        assert runs[0]["routes"] == runs[1]["routes"]
        assert runs[0]["statistics"]["improve_iterations"] == runs[1]["statistics"]["improve_iterations"]
        assert runs[0]["statistics"]["stop_reason"] in ("iterations", "no_improvement")


def test_one_thread_is_the_default_and_gives_the_same_run():
    instance = make_instance(40, 3, "min_max", "windows", seed=9)
    plain = solve(instance, seed=3, improve_iterations=500, time_limit=60)
    named = solve(instance, seed=3, improve_iterations=500, time_limit=60, threads=1)
    assert plain["routes"] == named["routes"]
    assert [e["max_cost"] for e in plain["anytime"]] == [e["max_cost"] for e in named["anytime"]]
    assert _vok_core.Options().threads == 1


@pytest.mark.parametrize("value, message", [
    (0, "threads must be a whole number from 1 to 256, got 0"),
    (257, "threads must be a whole number from 1 to 256, got 257"),
    (1.5, 'options: "threads" 1.5 is not a whole number'),
])
def test_a_thread_count_outside_its_range_is_refused_on_every_road(value, message, tmp_path):
    instance = make_instance(10, 2)
    with pytest.raises(ValueError, match=message):
        solve(instance, threads=value)
    with pytest.raises(RuntimeError, match="type must be number, but is string"):
        solve(instance, threads="2")
    if isinstance(value, int):
        with pytest.raises(ValueError, match=message):
            _vok_core.Options().threads = value
    path = tmp_path / "instance.json"
    path.write_text(json.dumps(instance))
    run = subprocess.run([sys.executable, "-m", "vok", "solve", str(path), "--threads", str(value)],
                         capture_output=True, text=True, timeout=60)
    assert run.returncode == 2 and run.stderr.startswith("vok: "), run.stderr


def test_the_command_line_solves_on_threads(tmp_path):
    instance = make_instance(30, 2, "min_max", "windows", seed=5)
    path, out = tmp_path / "instance.json", tmp_path / "result.json"
    path.write_text(json.dumps(instance))
    run = subprocess.run([sys.executable, "-m", "vok", "solve", str(path), "--threads", "2", "--time-limit", "0.5",
                          "--out", str(out), "--quiet"], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    assert_routes(instance, json.loads(out.read_text()))
