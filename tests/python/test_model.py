"""The problem-model classes of _vok_core as a Python user meets them."""

import gc
import weakref

import pytest

import _vok_core as vok
from _vok_core import (
    Agent,
    AssignmentConstraint,
    Node,
    NodeType,
    ObjectiveType,
    Options,
    Position,
    Problem,
    TimeWindowConstraint,
)

MODEL_CLASSES = [Position, Node, Agent, Options, AssignmentConstraint, TimeWindowConstraint, Problem]
U64_MAX = 2**64 - 1


def make_agent(agent_id, agent_type="truck"):
    agent = Agent()
    agent.id = agent_id
    agent.type = agent_type
    return agent


def collect():
    for _ in range(3):
        gc.collect()


def test_module_doc_and_class_surface():
    assert vok.__doc__ == "VOK MTSP Solver — C++ core bindings"
    for cls in MODEL_CLASSES:
        assert cls.__doc__ is None, cls
        instance = cls()
        with pytest.raises(AttributeError):
            instance.not_a_field = 1


def test_enums_are_closed_classic_enumerations():
    assert int(ObjectiveType.MinMax) == 0
    assert int(ObjectiveType.MinSum) == 1
    assert ObjectiveType.MinSum.value == 1
    assert ObjectiveType.MinMax.name == "MinMax"
    assert NodeType(0) == NodeType.DEPOT
    assert NodeType(1) == NodeType.TARGET
    assert list(NodeType.__members__) == ["DEPOT", "TARGET"]
    assert list(ObjectiveType.__members__) == ["MinMax", "MinSum"]
    assert [1, 2][NodeType.TARGET] == 2  # __index__
    assert {NodeType.DEPOT: "d"}[NodeType(0)] == "d"
    assert NodeType.DEPOT != NodeType.TARGET
    assert NodeType.DEPOT != ObjectiveType.MinMax
    assert str(NodeType.DEPOT) == "NodeType.DEPOT"
    for name in ("MinMax", "MinSum", "DEPOT", "TARGET"):
        assert not hasattr(vok, name)
    with pytest.raises(TypeError):
        ObjectiveType.MinMax < ObjectiveType.MinSum
    with pytest.raises(TypeError):
        NodeType.DEPOT + 1


def test_value_class_defaults():
    position = Position()
    assert (position.x, position.y, position.z) == (0.0, 0.0, 0.0)

    node = Node()
    assert node.id == 0
    assert node.type == NodeType.TARGET
    assert node.demand == 0.0
    assert node.service == 0.0
    assert (node.position.x, node.position.y, node.position.z) == (0.0, 0.0, 0.0)

    agent = Agent()
    assert (agent.id, agent.type, agent.start_node, agent.end_node) == (0, "", 0, 0)
    assert (agent.capacity_limit, agent.time_limit) == (0.0, 0.0)

    options = Options()
    assert options.return_to_end is True
    assert options.objective == ObjectiveType.MinSum
    assert options.time_limit == 60.0
    assert options.enforce_capacity is False


def test_fields_read_back_what_was_written():
    node = Node()
    node.id = U64_MAX
    node.type = NodeType.DEPOT
    node.demand = 2  # ints are accepted for floats
    node.service = 3
    assert (node.id, node.type, node.demand, node.service) == (U64_MAX, NodeType.DEPOT, 2.0, 3.0)

    agent = make_agent(7, "drone")
    agent.start_node, agent.end_node = 3, 4
    agent.capacity_limit, agent.time_limit = 1.5, 100.0
    assert (agent.id, agent.type, agent.start_node, agent.end_node) == (7, "drone", 3, 4)
    assert (agent.capacity_limit, agent.time_limit) == (1.5, 100.0)

    options = Options()
    options.return_to_end = False
    options.objective = ObjectiveType.MinMax
    options.time_limit = 0.25
    assert (options.return_to_end, options.objective, options.time_limit) == (False, ObjectiveType.MinMax, 0.25)


@pytest.mark.parametrize(
    "obj, field",
    [(Node(), "id"), (Agent(), "id"), (Agent(), "start_node"), (Agent(), "end_node")],
)
def test_unsigned_fields_refuse_values_outside_64_bits(obj, field):
    with pytest.raises(TypeError):
        setattr(obj, field, -1)
    with pytest.raises(TypeError):
        setattr(obj, field, 2**64)
    assert getattr(obj, field) == 0


def test_unsigned_arguments_refuse_negative_values():
    with pytest.raises(TypeError):
        Problem().add_agent(make_agent(1), -1)
    with pytest.raises(TypeError):
        AssignmentConstraint().set_assignment(-1, ["truck"])
    with pytest.raises(TypeError):
        TimeWindowConstraint().set_timewindow(-3, 0.0, 1.0)


def test_wrongly_typed_values_are_refused():
    with pytest.raises(TypeError):
        Node().position = (1.0, 2.0, 0.0)
    with pytest.raises(TypeError):
        Options().objective = "min_max"
    with pytest.raises(TypeError):
        Problem().set_cost_matrix("truck", [[0.0, "1"]])
    with pytest.raises(TypeError):
        AssignmentConstraint().set_assignment(1, "truck")


def test_node_position_is_a_view_and_assignment_copies_in():
    node = Node()
    node.position.x = 3.0
    node.position.z = -1.0
    assert (node.position.x, node.position.z) == (3.0, -1.0)

    source = Position()
    source.y = 5.0
    node.position = source
    source.y = 9.0
    assert node.position.y == 5.0


def test_position_view_keeps_its_node_alive():
    node = Node()
    node.position.y = 4.0
    alive = weakref.ref(node)
    view = node.position
    del node
    collect()
    assert alive() is not None
    view.x = 1.0
    assert (view.x, view.y) == (1.0, 4.0)
    del view
    collect()
    assert alive() is None


def test_keyword_arguments():
    problem = Problem()
    node = Node()
    problem.add_node(node=node)
    problem.add_agent(agent=make_agent(2), id=8)
    problem.set_cost_matrix(agent_type="truck", matrix=[[0.0, 1.0], [1.0, 0.0]])

    assignment = AssignmentConstraint()
    assignment.set_assignment(node=3, types=["truck", "drone"])
    problem.set_assignment_constraint(constraint=assignment)

    windows = TimeWindowConstraint()
    windows.set_timewindow(node=3, start=0.0, end=10.0)
    problem.set_timewindow_constraint(constraint=windows)

    assert len(problem.nodes()) == 1
    assert [a.id for a in problem.agents_ordered()] == [2]


def test_add_node_and_add_agent_store_copies():
    problem = Problem()
    node = Node()
    node.id = 4
    problem.add_node(node)
    problem.add_node(node)
    node.id = 99
    node.position.x = 7.0
    assert [n.id for n in problem.nodes()] == [4, 4]
    assert problem.nodes()[0].position.x == 0.0

    agent = make_agent(2, "a")
    problem.add_agent(agent, 5)
    agent.type = "changed"
    stored = problem.agents_ordered()
    assert len(stored) == 1
    assert (stored[0].id, stored[0].type) == (2, "a")  # filed under 5, keeps its own id


def test_list_views_write_through_but_the_lists_are_new():
    problem = Problem()
    problem.add_node(Node())
    problem.add_agent(make_agent(1), 1)
    problem.add_agent(make_agent(1, "other"), 1)  # same key twice: both kept in add order

    nodes = problem.nodes()
    nodes[0].demand = 2.5
    nodes[0].position.y = 6.0
    nodes.append(Node())
    assert len(problem.nodes()) == 1
    assert problem.nodes()[0].demand == 2.5
    assert problem.nodes()[0].position.y == 6.0

    agents = problem.agents_ordered()
    assert [a.type for a in agents] == ["truck", "other"]
    agents[1].capacity_limit = 3.0
    agents.clear()
    assert [a.capacity_limit for a in problem.agents_ordered()] == [0.0, 3.0]


def test_options_is_a_method_returning_a_live_view():
    problem = Problem()
    problem.options().time_limit = 2.0
    problem.options().objective = ObjectiveType.MinMax
    assert problem.options().time_limit == 2.0
    assert problem.options().objective == ObjectiveType.MinMax
    with pytest.raises(AttributeError):
        problem.options = Options()
    assert callable(problem.options)


@pytest.mark.parametrize("take_view, field", [
    (lambda problem: problem.options(), "time_limit"),
    (lambda problem: problem.nodes()[0], "demand"),
    (lambda problem: problem.agents_ordered()[0], "capacity_limit"),
])
def test_views_keep_the_problem_alive(take_view, field):
    problem = Problem()
    problem.add_node(Node())
    problem.add_agent(make_agent(3), 3)
    alive = weakref.ref(problem)
    view = take_view(problem)
    del problem
    collect()
    assert alive() is not None
    # Still usable after the last direct reference went away.
    setattr(view, field, 5.0)
    assert getattr(view, field) == 5.0
    del view
    collect()
    assert alive() is None


def test_list_of_node_views_outlives_the_problem():
    problem = Problem()
    for i in range(3):
        node = Node()
        node.id = i
        problem.add_node(node)
    nodes = problem.nodes()
    del problem
    collect()
    assert [n.id for n in nodes] == [0, 1, 2]
    nodes[2].position.x = 1.0
    assert nodes[2].position.x == 1.0


def test_views_stay_valid_while_the_problem_grows():
    # Regression: views used to point into storage that a later add_node or
    # add_agent could move, leaving them dangling.
    problem = Problem()
    first = Node()
    first.id = 7
    problem.add_node(first)
    agent = Agent()
    agent.type = "a"
    problem.add_agent(agent, 0)
    node_view = problem.nodes()[0]
    agent_view = problem.agents_ordered()[0]
    for i in range(2000):
        extra = Node()
        extra.id = 100 + i
        problem.add_node(extra)
        problem.add_agent(agent, 100 + i)
    node_view.position.x = 4.5
    agent_view.start_node = 3
    assert problem.nodes()[0].id == 7
    assert problem.nodes()[0].position.x == 4.5
    assert problem.agents_ordered()[0].start_node == 3
