"""Bad input and faults, round two: sums that overflow, messages that name the fault, Ctrl-C during set-up,
reading files without the interpreter lock, and the memory cap's refusal up front."""

import json
import math
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import _vok_core as vok
from vok import Model
from object_road import problem_from
from test_bad_input import instance


# ---------------------------------------------------------------------------------------------- sums

def test_costs_whose_sums_overflow_are_refused_on_both_roads_and_huge_finite_ones_are_reported():
    inst = instance()
    inst["costs"]["car"] = [[0 if r == c else 1e308 for c in range(4)] for r in range(4)]
    with pytest.raises(ValueError, match='costs of agent type "car" are too large to add up'):
        vok.solve_json_str(json.dumps(inst))
    problem, options = problem_from(inst)
    with pytest.raises(ValueError, match='agent type "car"'):
        vok.Solver(problem, options)
    for improve in (False, True):
        # 1e20 a hop adds up fine: the anytime list and the callback get the solution.
        inst = instance()
        inst["costs"]["car"] = [[c * 1e20 for c in row] for row in inst["costs"]["car"]]
        inst["options"]["improve"] = improve
        seen = []
        result = vok.solve_json_str(json.dumps(inst), on_improvement=seen.append)
        assert result["status"] == "success" and result["statistics"]["max_cost"] == pytest.approx(14e20)
        assert result["anytime"] and seen == result["anytime"]
        assert result["anytime"][-1]["max_cost"] == result["statistics"]["max_cost"]


# ---------------------------------------------------------------------------------------------- messages

def test_integer_fields_and_arguments_name_the_member_and_the_range():
    cases = [
        (lambda: setattr(vok.Node(), "id", -1), "Node.id -1 is outside the range of an unsigned 64-bit"),
        (lambda: setattr(vok.Agent(), "end_node", 2**64), "Agent.end_node 18446744073709551616 is outside"),
        (lambda: setattr(vok.Options(), "seed", 2**63), "Options.seed 9223372036854775808 is outside the range "
                                                        "of a 64-bit integer"),
        (lambda: setattr(vok.Options(), "improve_iterations", -2**70), "Options.improve_iterations"),
        (lambda: vok.Problem().add_agent(vok.Agent(), -1), "Problem.add_agent: id -1"),
        (lambda: vok.TimeWindowConstraint().set_timewindow(10**5000, 0, 1), "an int of 16610 bits"),
    ]
    for call, message in cases:
        with pytest.raises(vok.RangeError, match=message) as raised:
            call()
        assert isinstance(raised.value, ValueError) and isinstance(raised.value, TypeError)
        assert "(0 to 18446744073709551615)" in str(raised.value) or "9223372036854775807)" in str(raised.value)
    options = vok.Options()
    options.seed = -2**63
    assert options.seed == -2**63
    with pytest.raises(TypeError, match="Node.id must be an int, not float"):
        vok.Node().id = 1.0


def test_quoted_input_is_cut_to_an_excerpt():
    big = [[0.0] * 3000 for _ in range(3000)]
    big[2][1] = "far"
    with pytest.raises(TypeError) as raised:
        vok.Problem().set_cost_matrix("car", big)
    assert "row 2, column 1 is 'far' (str), not a number" in str(raised.value) and len(str(raised.value)) < 200
    text = json.dumps(instance()) + " " * 10**6
    for call in (lambda: vok.solve_json_str(text, "soon"), lambda: vok.solve_json_str(text, None)):
        with pytest.raises(TypeError, match="time_limit must be a number") as raised:
            call()
        assert len(str(raised.value)) < 200
    inst = instance()
    inst["costs"]["car"] = {"metric": ["x" * 10**5]}
    with pytest.raises(ValueError, match=r'"metric" \["xxx.*\.\.\. \(100004 bytes\) is not a metric name'):
        vok.solve_json_str(json.dumps(inst))
    inst = instance()
    inst["agents"][0]["type"] = inst["constraints"][0]["items"][0]["types"][0] = "t" * 10**5
    inst["costs"] = {"t" * 10**5: [[0, -1], [1, 0]]}
    with pytest.raises(ValueError, match=r"cost matrix for agent type \"t+\.\.\. \(100000 bytes\)\": row 0") as raised:
        vok.solve_json_str(json.dumps(inst))
    assert len(str(raised.value)) < 200
    with pytest.raises(RuntimeError) as raised:
        vok.solve_json_str('{"nodes": "' + "a" * 10**5 + "\x01")
    assert "parse_error" in str(raised.value) and len(str(raised.value)) < 300

    # Every other argument and member of the object road, the module functions and vok.Model alike.
    huge, problem = "x" * 10**5, vok.Problem()
    for call, names in [
        (lambda: setattr(vok.Position(), "x", huge), "Position.x must be a number, not str"),
        (lambda: setattr(vok.Node(), "demand", [1] * 10**5), "Node.demand must be a number, not list"),
        (lambda: setattr(vok.Options(), "objective", huge), "Options.objective must be an ObjectiveType"),
        (lambda: vok.TimeWindowConstraint().set_timewindow(1, huge, 2), "set_timewindow: start must be a number"),
        (lambda: problem.add_agent([0] * 10**5, 1), "Problem.add_agent: agent must be an Agent, not list"),
        (lambda: problem.set_cost_metric("car", "euclidean", huge), "set_cost_metric: factor must be a number"),
        (lambda: vok.Solver(problem, huge), "Solver: options must be an Options, not str"),
        (lambda: vok.set_diagnostics(huge), 'diagnostics mode "xxx'),
        (lambda: vok.solve_json_file("/tmp/\ud800.json"), "input_path holds a lone surrogate"),
        (lambda: vok.solve_json_str(text[:99] + "\ud800" + text), "lone surrogate U+D800 at character offset 99"),
        (lambda: vok.solve_json_str('{"nodes": [' + "9" * 10**5 + "]}"), "number overflow parsing '999"),
        (lambda: Model().add_agent_type(huge, factor=-1), "agent type 'xxx"),
        (lambda: Model().add_target(1, 1, service=[1] * 10**5), "target 0: service must be a number, got [1, 1"),
    ]:
        with pytest.raises((TypeError, ValueError, RuntimeError)) as raised:
            call()
        assert names in str(raised.value) and len(str(raised.value)) < 200, str(raised.value)[:300]


@pytest.mark.parametrize("text, message", [
    ("[1, 2]", "[json.exception.type_error.304] cannot use at() with array; an instance is a JSON object "
               "(at the top level)"),
    (json.dumps(dict(instance(), options={"improve_iterations": -0.5})),
     'options: "improve_iterations" -0.5 is negative; 0 means no cap'),
])
def test_json_faults_say_what_is_expected(text, message):
    with pytest.raises((RuntimeError, ValueError)) as raised:
        vok.solve_json_str(text)
    assert str(raised.value) == message


def test_a_failed_improving_solve_says_why_it_ended():
    # Every target fits alone, no two fit one route: the search exhausts, the stage finds nothing either.
    inst = instance()
    inst["constraints"].append({"kind": "timewindow", "items": [{"node": 1, "start": 0, "end": 3.5},
                                                                 {"node": 3, "start": 0, "end": 4.5}]})
    inst["options"].update(improve=True, time_limit=0.5)
    for iterations, reason in ((0, "time_limit"), (5, "iterations")):
        inst["options"]["improve_iterations"] = iterations
        result = vok.solve_json_str(json.dumps(inst))
        assert (result["status"], result["statistics"]["stop_reason"]) == ("failed", reason)


# ---------------------------------------------------------------------------------------------- memory

def test_tables_above_the_memory_cap_are_refused_up_front():
    points = [(i % 30, i // 30) for i in range(600)]
    inst = instance(points=points)
    inst["costs"] = {"car": {"metric": "euclidean"}}
    inst["constraints"] = []
    inst["options"].update(improve=True, memory_limit_mb=1)
    with pytest.raises(ValueError, match=r"instance needs [3-9] MB for its tables \(600 nodes, 1 agent types, 1 "
                                         r"agents\), more than the memory cap memory_limit_mb 1"):
        vok.solve_json_str(json.dumps(inst))
    inst["options"].update(memory_limit_mb=64, improve_iterations=10)
    assert vok.solve_json_str(json.dumps(inst))["status"] == "success"


# ---------------------------------------------------------------------------------------------- files

def ticking(call):
    """Runs `call` while another thread ticks; returns the ticks in its middle third and its duration."""
    ticks, done = [], threading.Event()

    def tick():
        while not done.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.001)

    ticker = threading.Thread(target=tick)
    ticker.start()
    try:
        started = time.monotonic()
        call()
        ended = time.monotonic()
    finally:
        done.set()
        ticker.join()
    third = (ended - started) / 3
    return [t for t in ticks if started + third < t < ended - third], ended - started


def test_reading_a_file_stops_at_the_first_byte_no_json_text_starts_with(tmp_path):
    zeros = tmp_path / "zeros.json"
    with open(zeros, "wb") as handle:
        handle.truncate(2 << 30)  # sparse: 2 GB of NUL bytes that take no disk
    with pytest.raises(RuntimeError, match="NUL character at byte offset 0"):
        vok.solve_json_file(str(zeros))
    junk = tmp_path / "junk.json"
    junk.write_bytes(b"\xef\xbb\xbf \n\xc3\xa4" + b"x" * 10**6)
    with pytest.raises(RuntimeError) as from_file:
        vok.solve_json_file(str(junk))
    with pytest.raises(RuntimeError) as from_text:
        vok.solve_json_str(junk.read_bytes())
    assert str(from_file.value) == str(from_text.value) and "invalid literal" in str(from_file.value)


def test_other_threads_run_while_a_file_is_read(tmp_path):
    path = tmp_path / "spaces.json"
    with open(path, "wb") as handle:
        for _ in range(256):
            handle.write(b" " * (1 << 20))
        handle.write(b"\0")

    def read():
        with pytest.raises(RuntimeError, match=f"NUL character at byte offset {256 << 20}"):
            vok.solve_json_file(str(path))

    middle, took = ticking(read)
    # With the lock held no tick could land in the middle of the call.
    assert middle, f"no tick while a {took:.3f} s read ran"


# ---------------------------------------------------------------------------------------------- Ctrl-C

def test_an_object_road_set_up_lets_other_threads_run_and_stops_on_ctrl_c():
    problem = vok.Problem()
    # The most nodes that still fill a dense table, the longest step of this set-up.
    for i in range(3000):
        node = vok.Node()
        node.id, node.position.x, node.position.y = i, i % 60, i // 60
        problem.add_node(node)
    agent = vok.Agent()
    agent.type = "car"
    problem.add_agent(agent, 0)
    problem.set_cost_metric("car", "euclidean")
    options = vok.Options()
    options.improve = True
    middle, took = ticking(lambda: vok.Solver(problem, options))
    assert middle, f"no tick while a {took:.3f} s set-up ran"
    # Ctrl-C every eighth of its length into the same set-up until the call ends: on a loaded machine
    # a single signal may come after it. A signal outside the call is dropped, so none escapes the test.
    main_thread, ended, in_call = threading.main_thread().ident, threading.Event(), [True]

    def on_sigint(signum, frame):
        if in_call[0]:
            raise KeyboardInterrupt

    def interrupt():
        while not ended.wait(took / 8):
            signal.pthread_kill(main_thread, signal.SIGINT)

    previous = signal.signal(signal.SIGINT, on_sigint)
    sender = threading.Thread(target=interrupt)
    sender.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            try:
                vok.Solver(problem, options)
            finally:
                in_call[0] = False
    finally:
        ended.set()
        sender.join()
        signal.signal(signal.SIGINT, previous)


SET_UP = """
import json, sys, time
import _vok_core as vok
n = 1500
inst = {"nodes": [{"id": i, "x": i % 40, "y": i // 40} for i in range(n)],
        "agents": [{"id": 0, "type": "car", "start_node": 0, "end_node": 0}],
        "costs": {"car": [[abs(r - c) + 0.5 for c in range(n)] for r in range(n)]},
        "options": {"improve": True, "time_limit": 60}}
text = json.dumps(inst)
del inst
if sys.argv[1] == "file":
    path = sys.argv[2]
    open(path, "w").write(text)
    call = lambda: vok.solve_json_file(path)
else:
    call = lambda: vok.solve_json_str(text)
print("ready", flush=True)
try:
    call()
except KeyboardInterrupt as stop:
    print(json.dumps({"at": time.monotonic(), "partial": stop.partial_result}), flush=True)
"""


@pytest.mark.parametrize("road", ["file", "str"])
def test_ctrl_c_during_set_up_raises_with_a_failed_partial_result(road, tmp_path):
    child = subprocess.Popen([sys.executable, "-c", SET_UP, road, str(tmp_path / "big.json")],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "ready", child.stderr.read()
        time.sleep(0.3)  # inside reading or parsing: those alone take seconds here
        assert child.poll() is None
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=120)
    finally:
        if child.poll() is None:
            child.kill()
    assert child.returncode == 0, err
    report = json.loads(out.strip().splitlines()[-1])
    assert report["at"] - sent < 1.0
    partial = report["partial"]
    assert partial["status"] == "failed" and partial["statistics"]["stop_reason"] == "interrupted"
    assert partial["anytime"] == [] and all(route["path"] == [] for route in partial["routes"])
