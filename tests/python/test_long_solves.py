"""Long solves: the interpreter lock, Ctrl-C, improvement callbacks, the memory cap, stop reasons and the
command line's progress line. Budgets are processor seconds; nothing here asserts on speed."""

import contextlib
import json
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path

import pytest

import _vok_core as vok
from object_road import problem_from

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
STOP_REASONS = {"time_limit", "exhausted", "rounds", "memory_limit", "interrupted", "callback", "no_improvement",
                "iterations"}


def eil51(agents=3, objective="min_max", **options):
    path = EXAMPLES / "eil51_3_agents.json"
    if not path.exists():
        pytest.skip(f"{path} is not shipped with this installation")
    instance = json.loads(path.read_text())
    instance["agents"] = [dict(instance["agents"][0], id=k) for k in range(agents)]
    instance["options"].update(objective=objective, improve=False)  # the search alone, unless asked
    instance["options"].update(options)
    return instance


def improving(process, min_sum):
    """The anytime-list rule applied to a Solver's record of (time, Result) pairs."""
    entries, best = [], 1e18
    for time_, result in process:
        costs = list(result.times.values())
        entry = {"time": time_, "max_cost": max(costs, default=0.0), "sum_cost": sum(costs)}
        value = entry["sum_cost"] if min_sum else entry["max_cost"]
        if value < best - 1e-9:
            entries.append(entry)
            best = value
    return entries


# ---------------------------------------------------------------------------------------------- Ctrl-C

INTERRUPTED_JSON = """
try:
    vok.solve_json_str(text)
except KeyboardInterrupt as exc:
    report(exc.partial_result)
"""

INTERRUPTED_SOLVER = """
problem, options = problem_from(instance)
solver = vok.Solver(problem, options)
try:
    solver.solve()
except KeyboardInterrupt:
    result = solver.get_result()
    process = solver.get_result_process()
    report({"status": "success" if result.paths else "failed", "timeout": result.timeout,
            "statistics": {"stop_reason": result.stop_reason}, "snapshots": len(process)})
"""


def interrupt_after(args, seconds=2.0, **popen):
    """Starts a process, sends SIGINT `seconds` after it says "ready" (or after start), returns
    (completed, seconds from the signal to the exit, stdout)."""
    child = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **popen)
    try:
        if "-c" in args:
            assert child.stdout.readline().strip() == "ready", child.stderr.read()
        time.sleep(seconds)
        assert child.poll() is None, "the solve ended before the signal"
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=120)
        return child.returncode, time.monotonic() - sent, out, err
    finally:
        if child.poll() is None:
            child.kill()
            child.communicate()


@pytest.mark.parametrize("road, options", [(INTERRUPTED_JSON, {}), (INTERRUPTED_SOLVER, {}),
                                           (INTERRUPTED_JSON, {"improve": True, "threads": 2})],
                         ids=["json", "solver", "json-stage-on-threads"])
def test_ctrl_c_stops_a_long_solve_and_keeps_the_routes(road, options):
    instance = eil51(time_limit=60, **options)
    script = textwrap.dedent(f"""
        import json, sys
        sys.path.insert(0, {str(Path(__file__).parent)!r})
        import _vok_core as vok
        from object_road import problem_from
        instance = json.loads({json.dumps(json.dumps(instance))})
        text = json.dumps(instance)
        def report(result):
            print(json.dumps(result), flush=True)
        print("ready", flush=True)
    """) + textwrap.dedent(road)
    code, latency, out, err = interrupt_after([sys.executable, "-c", script])
    assert code == 0, err
    assert latency < 1.0, f"exited {latency:.2f} s after SIGINT"
    result = json.loads(out.strip().splitlines()[-1])
    assert result["status"] == "success"
    assert result["timeout"] is False
    assert result["statistics"]["stop_reason"] == "interrupted"
    if "snapshots" in result:
        assert result["snapshots"] >= 2


def test_ctrl_c_in_the_command_line_prints_the_best_routes_and_exits_130(tmp_path):
    path = tmp_path / "eil51.json"
    path.write_text(json.dumps(eil51()))
    out_file = tmp_path / "result.json"
    code, latency, out, err = interrupt_after(
        [sys.executable, "-m", "vok", "solve", str(path), "--time-limit", "60", "--out", str(out_file)])
    assert code == 130, err
    assert latency < 1.0, f"exited {latency:.2f} s after SIGINT"
    assert "status success (interrupted)" in out
    assert len([line for line in out.splitlines() if line.split()[:1] in (["0"], ["1"], ["2"])]) == 3
    assert "Traceback" not in err
    assert json.loads(out_file.read_text())["statistics"]["stop_reason"] == "interrupted"


# ---------------------------------------------------------------------------------------------- threads

def test_other_threads_run_while_a_solve_holds_no_lock():
    ticks = []
    done = threading.Event()

    def tick():
        while not done.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.01)

    ticker = threading.Thread(target=tick)
    ticker.start()
    try:
        started = time.monotonic()
        result = vok.solve_json_str(json.dumps(eil51()), 1.0)
        ended = time.monotonic()
    finally:
        done.set()
        ticker.join()
    assert result["statistics"]["stop_reason"] == "time_limit"
    during = [t for t in ticks if started < t < ended]
    # Holding the lock for the whole solve would leave the ticker at one tick or none.
    assert len(during) >= 10, f"{len(during)} ticks in {ended - started:.2f} s of solving"


def test_two_solves_in_two_threads_each_spend_their_own_budget():
    text = json.dumps(eil51())
    outcomes = {}

    def solve(name):
        before = time.thread_time()
        result = vok.solve_json_str(text, 1.0)
        outcomes[name] = (time.thread_time() - before, result)

    threads = [threading.Thread(target=solve, args=(name,)) for name in ("a", "b")]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for name, (spent, result) in outcomes.items():
        # A process-wide clock would stop each near half of its budget.
        assert spent >= 0.95, f"thread {name} spent {spent:.2f} s of its 1 s budget"
        assert result["timeout"] and result["statistics"]["stop_reason"] == "time_limit"
        assert result["status"] == "success"


def test_a_solving_solver_refuses_other_threads_until_it_returns():
    problem, options = problem_from(eil51(time_limit=1.0))
    solver = vok.Solver(problem, options)
    found = threading.Event()
    worker = threading.Thread(target=solver.solve, kwargs={"on_improvement": lambda entry: found.set()})
    worker.start()
    try:
        assert found.wait(60)
        with pytest.raises(RuntimeError, match="this Solver is solving"):
            solver.get_result()
        with pytest.raises(RuntimeError, match="this Solver is solving"):
            solver.solve()
    finally:
        worker.join()
    assert solver.get_result().stop_reason == "time_limit"


# ---------------------------------------------------------------------------------------------- callbacks

@pytest.mark.parametrize("objective", ["min_max", "min_sum"])
def test_callback_sees_exactly_the_anytime_entries_on_both_roads(objective):
    instance = eil51(objective=objective, time_limit=0.5)
    seen = []
    result = vok.solve_json_str(json.dumps(instance), on_improvement=seen.append)
    assert seen and seen == result["anytime"]

    problem, options = problem_from(instance)
    solver = vok.Solver(problem, options)
    seen = []
    assert solver.solve(on_improvement=seen.append) == 1
    assert seen == improving(solver.get_result_process(), objective == "min_sum")


def test_callback_returning_false_stops_the_solve_and_other_values_do_not():
    instance = json.dumps(eil51(time_limit=60))
    seen = []
    result = vok.solve_json_str(instance, on_improvement=lambda entry: seen.append(entry) or False)
    assert result["statistics"]["stop_reason"] == "callback"
    assert result["status"] == "success" and result["timeout"] is False
    assert seen == result["anytime"] and 1 <= len(seen) <= 2  # the goal in hand is finished

    for answer in (None, 0, "", True):
        result = vok.solve_json_str(instance, 0.2, on_improvement=lambda entry: answer)
        assert result["statistics"]["stop_reason"] == "time_limit", answer


def test_callback_exception_reaches_the_caller_and_the_solver_stays_usable(tmp_path):
    instance = eil51(time_limit=60)

    def boom(entry):
        raise ZeroDivisionError("from the callback")

    path = tmp_path / "eil51.json"
    path.write_text(json.dumps(instance))
    with pytest.raises(ZeroDivisionError, match="from the callback") as caught:
        vok.solve_json_file(str(path), on_improvement=boom)
    partial = caught.value.partial_result
    assert partial["status"] == "success" and partial["statistics"]["stop_reason"] == "callback"

    problem, options = problem_from(instance)
    options.time_limit = 0.3
    solver = vok.Solver(problem, options)
    with pytest.raises(ZeroDivisionError):
        solver.solve(on_improvement=boom)
    assert solver.get_result().stop_reason == "callback"
    assert len(solver.get_result().paths) == 3
    solver.solve()  # the same object searches on, without error
    assert solver.get_result().stop_reason == "time_limit"

    with pytest.raises(TypeError, match="callable"):
        vok.solve_json_str(json.dumps(instance), on_improvement=3)


# ---------------------------------------------------------------------------------------------- memory

# Peak resident memory from VmHWM: unlike ru_maxrss it starts afresh in a new program, not at the parent's.
MEMORY_SCRIPT = """
import json, sys
import _vok_core as vok
def peak_kb():
    return int(next(l for l in open("/proc/self/status") if l.startswith("VmHWM")).split()[1])
text = sys.stdin.read()
before = peak_kb()
result = vok.solve_json_str(text)
print(json.dumps({"growth_mb": (peak_kb() - before) / 1024, "statistics": result["statistics"],
                  "status": result["status"], "timeout": result["timeout"]}))
"""


def test_memory_cap_ends_the_solve_near_the_cap_with_the_routes():
    cap = 48
    instance = eil51(agents=5, time_limit=120, memory_limit_mb=cap)
    completed = subprocess.run([sys.executable, "-c", MEMORY_SCRIPT], input=json.dumps(instance),
                               capture_output=True, text=True, timeout=600)
    assert completed.returncode == 0, completed.stderr
    outcome = json.loads(completed.stdout)
    assert outcome["statistics"]["stop_reason"] == "memory_limit"
    assert outcome["status"] == "success" and outcome["timeout"] is False
    # The cap counts what the search holds, so the process grows by about that much, not by far more or less.
    assert cap / 2 <= outcome["growth_mb"] <= cap * 1.25 + 16, outcome["growth_mb"]


def test_running_out_of_memory_ends_the_solve_with_the_routes_found_so_far():
    script = textwrap.dedent("""
        import resource
        size = int(next(l for l in open("/proc/self/status") if l.startswith("VmSize")).split()[1]) * 1024
        resource.setrlimit(resource.RLIMIT_AS, (size + (120 << 20), resource.RLIM_INFINITY))
    """)
    instance = eil51(agents=5, time_limit=120, memory_limit_mb=0)
    completed = subprocess.run([sys.executable, "-c", MEMORY_SCRIPT.replace("text = ", script + "text = ")],
                               input=json.dumps(instance), capture_output=True, text=True, timeout=600)
    assert completed.returncode == 0, completed.stderr
    outcome = json.loads(completed.stdout)
    assert outcome["statistics"]["stop_reason"] == "memory_limit"
    assert outcome["status"] == "success"


def test_memory_limit_option_default_and_checks():
    half_mb = [os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE") / 2 / 2 ** 20, 8192]
    # A container's limit at the root of its cgroup tree (v2, then v1) counts half too.
    for limit in ("/sys/fs/cgroup/memory.max", "/sys/fs/cgroup/memory/memory.limit_in_bytes"):
        with contextlib.suppress(OSError, ValueError):
            half_mb.append(int(Path(limit).read_text()) / 2 / 2 ** 20)
    # A tighter cgroup further down the tree can only lower it.
    assert 0 < vok.Options().memory_limit_mb <= int(min(half_mb))
    options = vok.Options()
    options.memory_limit_mb = 0
    assert options.memory_limit_mb == 0.0

    instance = eil51(time_limit=0.1, memory_limit_mb=-5)
    with pytest.raises(ValueError, match="memory_limit_mb -5"):
        vok.solve_json_str(json.dumps(instance))
    problem, options = problem_from(instance)
    options.memory_limit_mb = -1
    with pytest.raises(ValueError, match="memory_limit_mb"):
        vok.Solver(problem, options)


def test_every_result_says_why_the_solve_ended():
    result = vok.solve_json_str(json.dumps(eil51(time_limit=0.1)))
    assert result["statistics"]["stop_reason"] == "time_limit"
    tiny = eil51(time_limit=10)
    tiny["nodes"] = tiny["nodes"][:3]
    tiny["constraints"][0]["items"] = tiny["constraints"][0]["items"][:3]
    tiny["agents"] = tiny["agents"][:1]
    result = vok.solve_json_str(json.dumps(tiny))
    assert result["statistics"]["stop_reason"] == "exhausted"
    problem, options = problem_from(tiny)
    solver = vok.Solver(problem, options)
    assert solver.get_result().stop_reason == ""
    solver.solve()
    assert solver.get_result().stop_reason == "exhausted"
    assert {result["statistics"]["stop_reason"]} <= STOP_REASONS


# ---------------------------------------------------------------------------------------------- progress line

def test_progress_line_on_a_terminal_only(tmp_path):
    pty = pytest.importorskip("pty")
    path = tmp_path / "eil51.json"
    path.write_text(json.dumps(eil51()))
    args = [sys.executable, "-m", "vok", "solve", str(path), "--time-limit", "1"]

    master, slave = pty.openpty()
    child = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=slave, text=True)
    os.close(slave)
    shown = b""
    while True:
        try:
            chunk = os.read(master, 65536)
        except OSError:  # the terminal closes with the child
            break
        if not chunk:
            break
        shown += chunk
    os.close(master)
    table = child.communicate(timeout=120)[0]
    assert child.returncode == 0
    assert b"/1 s  best max " in shown and b"improvements " in shown
    assert shown.endswith(b"\r\x1b[K")  # erased before the table is printed
    assert "best max" not in table and "\r" not in table

    piped = subprocess.run(args, capture_output=True, text=True, timeout=120)
    assert piped.returncode == 0
    assert "best max" not in piped.stderr and "\r" not in piped.stderr
    assert piped.stdout.splitlines()[:4] == table.splitlines()[:4]  # the same table either way
