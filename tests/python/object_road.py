"""Builds a JSON instance (as a dict) object by object, for tests that compare the two roads."""

import _vok_core as vok


def problem_from(instance):
    """The instance's nodes, agents, cost matrices, assignment and windows as a Problem, and its
    objective and budget as Options."""
    problem = vok.Problem()
    for item in instance["nodes"]:
        node = vok.Node()
        node.id, node.position.x, node.position.y = item["id"], item["x"], item["y"]
        problem.add_node(node)
    for item in instance["agents"]:
        agent = vok.Agent()
        agent.id, agent.type = item["id"], item["type"]
        agent.start_node, agent.end_node = item["start_node"], item["end_node"]
        problem.add_agent(agent, item["id"])
    for name, matrix in instance["costs"].items():
        problem.set_cost_matrix(name, matrix)
    assignment = vok.AssignmentConstraint()
    windows = vok.TimeWindowConstraint()
    for constraint in instance.get("constraints", []):
        for item in constraint["items"]:
            if constraint["kind"] == "assignment":
                assignment.set_assignment(item["node"], item["types"])
            elif constraint["kind"] == "timewindow":
                windows.set_timewindow(item["node"], item["start"], item["end"])
    problem.set_assignment_constraint(assignment)
    problem.set_timewindow_constraint(windows)
    options = vok.Options()
    if instance["options"].get("objective") == "min_max":
        options.objective = vok.ObjectiveType.MinMax
    options.time_limit = instance["options"]["time_limit"]
    return problem, options
