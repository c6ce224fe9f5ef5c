"""VOK MTSP Solver — C++ core bindings"""

from collections.abc import Callable, Sequence
from typing import ClassVar, Literal, NotRequired, TypedDict

# Shapes of the dictionaries returned by solve_json_str / solve_json_file.
# They exist for type checkers only: import them under ``if TYPE_CHECKING:``.

class StopDict(TypedDict):
    """One stop of a route's timetable (options "schedule": true)."""
    node: int
    arrival: float
    wait: float
    start: float
    departure: float
    load: float

class RouteDict(TypedDict):
    agent_id: int
    path: list[int]
    """Node indices (positions in the instance's node list); empty without a route."""
    cost: float
    schedule: NotRequired[list[StopDict]]
    """Only with options "schedule": true: one stop per node of the path; the last departure is the cost."""

class StatisticsDict(TypedDict):
    solve_time: float
    """Wall-clock seconds of solver set-up and search."""
    max_cost: float
    sum_cost: float
    n_generated: int
    n_expanded: int
    last_update_time: float
    """Processor seconds from the start of the search to the last solution."""
    improve_iterations: int
    """Iterations of the improvement stage (0 when it did not run)."""
    stop_reason: Literal["time_limit", "exhausted", "rounds", "memory_limit", "interrupted", "callback",
                         "no_improvement", "iterations"]
    """Why the solve ended."""

class AnytimeEntry(TypedDict):
    time: float
    """Processor seconds since the call began (reading and set-up included)."""
    max_cost: float
    sum_cost: float

class SolveResult(TypedDict):
    status: Literal["success", "failed"]
    timeout: bool
    routes: list[RouteDict]
    statistics: StatisticsDict
    anytime: list[AnytimeEntry]

# Called with each new "anytime" entry while the solve runs; returning False stops the solve.
OnImprovement = Callable[[AnytimeEntry], bool | None]

# An integer outside the range of the field or argument it was given for.
class RangeError(ValueError, TypeError): ...

class ObjectiveType:
    MinMax: ClassVar[ObjectiveType]
    MinSum: ClassVar[ObjectiveType]
    __members__: ClassVar[dict[str, ObjectiveType]]
    def __init__(self, value: int) -> None: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    def __int__(self) -> int: ...
    def __index__(self) -> int: ...
    def __getstate__(self) -> int: ...
    def __setstate__(self, state: int) -> None: ...
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> int: ...

class NodeType:
    DEPOT: ClassVar[NodeType]
    TARGET: ClassVar[NodeType]
    __members__: ClassVar[dict[str, NodeType]]
    def __init__(self, value: int) -> None: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    def __int__(self) -> int: ...
    def __index__(self) -> int: ...
    def __getstate__(self) -> int: ...
    def __setstate__(self, state: int) -> None: ...
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> int: ...

class Position:
    x: float
    y: float
    z: float
    def __init__(self) -> None: ...

class Node:
    id: int
    position: Position
    """Reading gives a view: ``node.position.x = 1.0`` changes the node."""
    type: NodeType
    demand: float
    """Quantity the node takes; weighed against capacities when ``Options.enforce_capacity`` is set."""
    service: float
    """Time spent at the node (>= 0); none at an agent's start or end node."""
    def __init__(self) -> None: ...

class Agent:
    id: int
    type: str
    start_node: int
    end_node: int
    capacity_limit: float
    """Largest total demand on the route when capacities are enforced; 0 means no limit."""
    time_limit: float
    """Largest route cost allowed; 0 or less means no limit."""
    def __init__(self) -> None: ...

class Options:
    return_to_end: bool
    objective: ObjectiveType
    time_limit: float
    """Search budget in processor seconds."""
    improve: bool
    """Run the improvement stage after the search for the rest of the budget."""
    seed: int
    """Random seed of the improvement stage."""
    improve_iterations: int
    """Iteration cap of the improvement stage; 0 means none."""
    threads: int
    """Workers of the improvement stage, each on a thread of its own (1 to 256)."""
    memory_limit_mb: float
    """Cap on the search's memory in megabytes; 0 means none. Defaults to half the physical memory, at most 8192."""
    enforce_capacity: bool
    """Keep the demands on each route within its agent's capacity."""
    enforce_precedence: bool
    """Keep the problem's precedence pairs (Problem.add_precedence)."""
    def __init__(self) -> None: ...

class AssignmentConstraint:
    def __init__(self) -> None: ...
    def set_assignment(self, node: int, types: Sequence[str]) -> None: ...

class TimeWindowConstraint:
    def __init__(self) -> None: ...
    def set_timewindow(self, node: int, start: float, end: float) -> None: ...

class Problem:
    def __init__(self) -> None: ...
    def add_node(self, node: Node) -> None: ...
    def add_agent(self, agent: Agent, id: int) -> None: ...
    def set_cost_matrix(self, agent_type: str, matrix: Sequence[Sequence[float]]) -> None: ...
    def set_cost_metric(self, agent_type: str, metric: str, factor: float = 1.0, round: str = "") -> None:
        """Costs of the type from the nodes' x and y: metric "euclidean", times ``factor``, rounded to the
        nearest integer when ``round`` is "nint". Replaces the type's matrix; a bad name or factor raises ValueError."""
    def set_assignment_constraint(self, constraint: AssignmentConstraint) -> None: ...
    def set_timewindow_constraint(self, constraint: TimeWindowConstraint) -> None: ...
    def add_precedence(self, before: int, after: int, type: str = "") -> None:
        """Node id ``before`` is served before node id ``after``: ``type`` "same" on one route, "diff" on two
        routes, any other text on any routes; kept when ``Options.enforce_precedence`` is set."""
    def options(self) -> Options:
        """A view of the problem's own options."""
    def nodes(self) -> list[Node]: ...
    def agents_ordered(self) -> list[Agent]: ...

class Result:
    """Obtained from Solver.get_result(); cannot be constructed from Python."""

    @property
    def n_generated(self) -> int: ...
    @property
    def n_expanded(self) -> int: ...
    @property
    def timeout(self) -> bool: ...
    @property
    def last_update_time(self) -> float: ...
    @property
    def stop_reason(self) -> str:
        """Why the solve ended: a StatisticsDict stop_reason, or "" before any solve."""
    @property
    def paths(self) -> dict[int, list[int]]:
        """Agent index (add order) -> node indices of its route."""
    @property
    def times(self) -> dict[int, float]:
        """Agent index (add order) -> route cost."""
    @property
    def improve_iterations(self) -> int: ...

class Solver:
    def __init__(self, problem: Problem, options: Options) -> None: ...
    def solve(self, on_improvement: OnImprovement | None = None) -> int:
        """Run the VOK solver. Returns 1 on success, 0 on failure."""
    def get_result(self) -> Result: ...
    def get_result_process(self) -> list[tuple[float, Result]]: ...

def solve_json_file(input_path: str, time_limit: float = -1, *,
                    on_improvement: OnImprovement | None = None) -> SolveResult:
    """Solve an MTSP instance from a JSON file path.
    Returns a dict with keys: status, routes, statistics, anytime, timeout."""

def solve_json_str(json_str: str, time_limit: float = -1, *,
                   on_improvement: OnImprovement | None = None) -> SolveResult:
    """Solve an MTSP instance from a JSON string.
    Returns a dict with keys: status, routes, statistics, anytime, timeout."""

DiagnosticsMode = Literal["streams", "logging", "off"]

def set_diagnostics(mode: DiagnosticsMode) -> DiagnosticsMode:
    """Choose where the solver's diagnostic lines go: "streams" (standard output and error, the
    default), "logging" (the Python logger "vok"; per-node warnings become one line) or "off".
    Returns the previous mode."""

def diagnostics() -> DiagnosticsMode:
    """The current diagnostics mode: "streams", "logging" or "off"."""
