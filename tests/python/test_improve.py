"""The improvement stage as a user switches it on: the JSON road, the object road and the command line."""

import json
import subprocess
import sys
from pathlib import Path

import pytest

import _vok_core as vok
from test_solve import check_solution, make_instance


def improving(instance, seconds=1.0, seed=0, iterations=0):
    instance = json.loads(json.dumps(instance))
    instance["options"].update(improve=True, time_limit=seconds, seed=seed, improve_iterations=iterations)
    return instance


@pytest.mark.parametrize("objective", ["min_max", "min_sum"])
@pytest.mark.parametrize("return_to_end", [True, False])
def test_every_rule_holds_and_nothing_gets_worse(objective, return_to_end):
    windows = {3: (0, 400), 5: (30, 300), 8: (60, 500), 11: (0, 200)}
    instance = make_instance(n=14, agents=3, seed=7, objective=objective, return_to_end=return_to_end,
                             windows=windows, max_length=400, two_types=True)
    result = vok.solve_json_str(json.dumps(improving(instance, seconds=1.0, iterations=1500)))
    check_solution(instance, result)
    assert 0 < result["statistics"]["improve_iterations"] <= 1500
    key = "max_cost" if objective == "min_max" else "sum_cost"
    assert result["statistics"][key] == pytest.approx(min(entry[key] for entry in result["anytime"]))


def test_seed_and_iteration_cap_repeat_a_run():
    instance = improving(make_instance(n=16, agents=3, seed=2), seconds=20, seed=11, iterations=300)
    first, second = (vok.solve_json_str(json.dumps(instance)) for _ in range(2))
    assert first["routes"] == second["routes"]
    assert first["statistics"]["improve_iterations"] == 300
    assert first["statistics"]["stop_reason"] == "iterations"


def test_the_stage_reports_why_it_stopped():
    # Five targets: the stage runs out of better solutions long before 30 s.
    small = vok.solve_json_str(json.dumps(improving(make_instance(n=6, agents=2, seed=5), seconds=30)))
    assert small["statistics"]["stop_reason"] == "no_improvement"
    assert small["statistics"]["last_update_time"] < 30 and not small["timeout"]
    timed = vok.solve_json_str(json.dumps(improving(make_instance(n=40, agents=4, seed=5), seconds=0.5)))
    assert timed["statistics"]["stop_reason"] == "time_limit" and timed["timeout"]
    # Nothing feasible exists (no route fits in the limit): no stall rule ends the stage early, it
    # keeps searching to the deadline and the solve stays "failed".
    hopeless = make_instance(n=6, agents=2, seed=5)
    for agent in hopeless["agents"]:
        agent["max_length"] = 1
    unsolved = vok.solve_json_str(json.dumps(improving(hopeless, seconds=1.5)))
    assert unsolved["status"] == "failed" and unsolved["anytime"] == []
    assert unsolved["statistics"]["stop_reason"] == "time_limit" and unsolved["timeout"]
    assert unsolved["statistics"]["improve_iterations"] > 2000  # past the stall limit of 5 targets


def test_callback_sees_the_stage_improvements_and_can_stop_it():
    instance = improving(make_instance(n=30, agents=4, seed=8), seconds=3, seed=2, iterations=2000)
    seen = []
    result = vok.solve_json_str(json.dumps(instance), on_improvement=seen.append)
    assert seen == result["anytime"]
    assert len(seen) >= 2  # the search's solution and at least one from the stage

    stopped = vok.solve_json_str(json.dumps(instance), on_improvement=lambda entry: False)
    assert stopped["statistics"]["stop_reason"] == "callback"
    assert stopped["statistics"]["improve_iterations"] == 0


def test_improves_on_the_search_alone():
    # Twenty targets on a ring around the depot: the search alone ends far from
    # the best split, the stage gets it.
    instance = make_instance(n=21, agents=4, seed=3)
    searched = vok.solve_json_str(json.dumps(instance))
    improved = vok.solve_json_str(json.dumps(improving(instance, seconds=2.0, iterations=3000, seed=1)))
    check_solution(instance, improved)
    assert improved["statistics"]["max_cost"] <= searched["statistics"]["max_cost"] + 1e-9
    assert improved["statistics"]["improve_iterations"] > 0
    assert searched["statistics"]["improve_iterations"] == 0


def test_object_road_options_and_result():
    options = vok.Options()
    assert (options.improve, options.seed, options.improve_iterations) == (False, 0, 0)
    options.improve, options.seed, options.improve_iterations = True, 5, 200
    options.time_limit = 5.0
    options.objective = vok.ObjectiveType.MinMax
    with pytest.raises(ValueError, match="improve_iterations"):
        options.improve_iterations = -1

    problem = vok.Problem()
    points = [(0, 0), (10, 0), (11, 0), (-10, 0), (-11, 0)]
    for i, (x, y) in enumerate(points):
        node = vok.Node()
        node.id, node.position.x, node.position.y = i, x, y
        problem.add_node(node)
    for k in range(2):
        agent = vok.Agent()
        agent.type, agent.start_node, agent.end_node = "robot", 0, 0
        problem.add_agent(agent, id=k)
    problem.set_cost_matrix("robot", [[abs(a[0] - b[0]) for b in points] for a in points])
    solver = vok.Solver(problem, options)
    assert solver.solve() == 1
    result = solver.get_result()
    assert result.improve_iterations == 200
    assert max(result.times.values()) == pytest.approx(22.0)


@pytest.mark.parametrize("options, error, text", [
    ({"improve": "yes"}, RuntimeError, "type must be boolean"),
    ({"improve_iterations": -4}, ValueError, "improve_iterations"),
    ({"seed": "one"}, RuntimeError, "type must be number"),
    ({"seed": 1e40}, ValueError, "seed"),
])
def test_bad_improvement_options_are_named(options, error, text):
    instance = make_instance(n=5, agents=2)
    instance["options"].update(options)
    with pytest.raises(error, match=text):
        vok.solve_json_str(json.dumps(instance))


def test_command_line_switch(tmp_path):
    path = tmp_path / "instance.json"
    path.write_text(json.dumps(make_instance(n=12, agents=3, seed=4)))
    out = tmp_path / "result.json"
    run = subprocess.run([sys.executable, "-m", "vok", "solve", str(path), "--improve", "--seed", "3",
                          "--time-limit", "0.5", "--out", str(out)], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert "improvement iterations" in run.stdout
    assert json.loads(out.read_text())["statistics"]["improve_iterations"] > 0


def test_tight_windows_are_solved_through_plans_that_break_them():
    # A plan known to be feasible is planted; windows are +-20..40 around it, so greedy insertion keeps
    # no plan feasible and the stage must search through late plans first. Its iteration cap makes the
    # run repeat; every route must pass the checker and no anytime entry may break a rule.
    sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))
    import make_tight
    from route_check import check_routes

    instance = make_tight.make_instance(120, 8, "min_sum", 4)
    instance["options"].update(improve=True, time_limit=20, seed=2, improve_iterations=4000)
    seen = []
    result = vok.solve_json_str(json.dumps(instance), on_improvement=seen.append)
    assert result["status"] == "success", result["statistics"]
    check = check_routes(instance, [route["path"] for route in result["routes"]],
                         [route["cost"] for route in result["routes"]])
    assert check.valid, check.problems
    assert seen and seen[-1]["sum_cost"] == pytest.approx(result["statistics"]["sum_cost"])
    # The search goes on through late plans after the first feasible one: the plan in hand at a
    # middle improvement (the run repeats) must keep every rule too.
    middle = (len(seen) + 1) // 2
    count = []
    stopped = vok.solve_json_str(json.dumps(instance),
                                 on_improvement=lambda entry: count.append(entry) or len(count) < middle)
    assert stopped["statistics"]["sum_cost"] == pytest.approx(seen[middle - 1]["sum_cost"])
    check = check_routes(instance, [route["path"] for route in stopped["routes"]],
                         [route["cost"] for route in stopped["routes"]])
    assert check.valid, check.problems
