"""Standard benchmark files (TSPLIB, VRPLIB CVRP, Solomon VRPTW) read through ``vrplib`` into a ``vok.Model``,
and the JSON instances made from them.

``read`` returns the model; ``tsplib_to_instance`` and ``solomon_to_instance`` (what ``vok convert``
writes) return its JSON instance, a dict ready for ``json.dumps`` and ``_vok_core.solve_json_str``. Node
ids are the positions 0, 1, 2, ... in file order, so the node indices in a result's routes are the ids
of the instance. ``to_json`` writes an instance (or a result) as compact, line-per-record JSON.
"""

from __future__ import annotations

import json
import math
import os
import stat
from pathlib import Path
from typing import Any, Dict, List, Optional, Sequence, Tuple, Union

from .model import Model, shown

AGENT_TYPE = "vehicle"
Instance = Dict[str, Any]
PathLike = Union[str, Path]
FORMATS = ("tsplib", "vrplib", "solomon")
# The sections the VRPLIB reader takes; every one names its nodes in file order.
SECTIONS = ("NODE_COORD_SECTION", "DEMAND_SECTION", "DEPOT_SECTION")


class ConversionError(ValueError):
    """A benchmark file that cannot be converted; the message names the file and line."""


def read_text_file(path: PathLike) -> str:
    """The whole text of a regular UTF-8 file, without a leading byte order mark. Anything else (a FIFO,
    a device such as /dev/zero, a folder) is refused before a byte is read, since reading it may never end."""
    fd = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0))
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise ConversionError(f"cannot read {path}: not a regular file")
        with os.fdopen(fd, "rb", closefd=False) as handle:
            data = handle.read()
    finally:
        os.close(fd)
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as exc:
        raise ConversionError(f"{path}: not UTF-8 text: byte 0x{data[exc.start]:02x} at byte offset "
                              f"{exc.start}") from None
    return text[1:] if text.startswith("\ufeff") else text


def _lines(text: str) -> List[Tuple[int, str]]:
    # The lines vrplib reads, with their numbers in the file: stripped, neither empty nor comments.
    return [(number, stripped) for number, raw in enumerate(text.splitlines(), start=1)
            if (stripped := raw.strip()) and not stripped.startswith("#")]


def _number(value: Any) -> Optional[float]:
    """The value as a finite float, or None."""
    if isinstance(value, bool):
        return None
    try:
        number = float(value)
    except (TypeError, ValueError):
        return None
    return number if math.isfinite(number) else None


def _vrplib_layout(lines: List[Tuple[int, str]], source: str) -> Tuple[Dict[str, int], Dict[str, List[int]]]:
    """Where vrplib finds each header key and each section row (by its own rules), as file line
    numbers; refuses what it would misread."""
    keys: Dict[str, int] = {}
    sections: Dict[str, List[int]] = {}
    current: Optional[str] = None
    for number, line in lines:
        if "EOF" in line:
            break
        if "_SECTION" in line:
            name = line.strip(" :").upper()
            if name not in SECTIONS:
                raise ConversionError(f"{source}:{number}: {name} is not supported; only "
                                      f"{', '.join(SECTIONS)} with EUC_2D weights are")
            if name in sections:
                raise ConversionError(f"{source}:{number}: a second {name}")
            sections[name], current = [], name
        elif current is not None:
            if ":" in line:
                raise ConversionError(f"{source}:{number}: 'KEY: value' after a section; "
                                      f"header keys come first, got {shown(line)}")
            sections[current].append(number)
        elif ":" in line:
            keys[line.partition(":")[0].strip().upper()] = number
        else:
            raise ConversionError(f"{source}:{number}: expected 'KEY: value' or a section name, got {shown(line)}")
    return keys, sections


class _File:
    """What a benchmark file holds, depot first unless ``depot`` says otherwise."""

    def __init__(self, points: List[Tuple[float, float]]) -> None:
        self.points = points
        self.depot: Optional[int] = None
        self.windows: Optional[List[Tuple[float, float]]] = None
        self.services: Optional[List[float]] = None
        self.demands: Optional[List[float]] = None
        self.capacity: Optional[float] = None
        self.vehicles: Optional[int] = None


def _rows(value: Any) -> List[List[Any]]:
    rows = value.tolist() if hasattr(value, "tolist") else list(value)
    return [row if isinstance(row, list) else [row] for row in rows]


def _read_vrplib(text: str, source: str) -> _File:
    from vrplib.parse import parse_vrplib  # type: ignore[import-untyped]

    lines = _lines(text)
    content = dict(lines)
    keys, sections = _vrplib_layout(lines, source)
    try:
        data = parse_vrplib(text, compute_edge_weights=False)
    except Exception as exc:  # vrplib's own word on what it could not read
        raise ConversionError(f"{source}: not a VRPLIB file: {exc}") from None

    weights = data.get("edge_weight_type")
    if weights is not None and str(weights).upper() != "EUC_2D":
        raise ConversionError(f"{source}:{keys['EDGE_WEIGHT_TYPE']}: only EUC_2D weights are supported, "
                              f"got {shown(str(weights))}")
    if "node_coord" not in data or not sections.get("NODE_COORD_SECTION"):
        raise ConversionError(f"{source}: no NODE_COORD_SECTION entries found")
    points = []
    for row, number in zip(_rows(data["node_coord"]), sections["NODE_COORD_SECTION"]):
        if len(row) != 2:
            raise ConversionError(f"{source}:{number}: expected 'id x y', got {shown(content[number])}")
        x, y = _number(row[0]), _number(row[1])
        if x is None or y is None:
            raise ConversionError(f"{source}:{number}: coordinates are not finite numbers: {shown(content[number])}")
        points.append((x, y))
    file = _File(points)

    if "DIMENSION" in keys:
        dimension = data.get("dimension")
        if not isinstance(dimension, int):
            raise ConversionError(f"{source}:{keys['DIMENSION']}: DIMENSION is not an integer: {shown(dimension)}")
        if dimension != len(points):
            raise ConversionError(f"{source}:{keys['DIMENSION']}: DIMENSION is {dimension} "
                                  f"but {len(points)} coordinate lines were read")
    if "demand" in data:
        rows = _rows(data["demand"])
        numbers = sections["DEMAND_SECTION"]
        if len(rows) != len(points):
            raise ConversionError(f"{source}:{numbers[0] - 1 if numbers else 0}: DEMAND_SECTION has {len(rows)} "
                                  f"lines for {len(points)} nodes")
        file.demands = []
        for row, number in zip(rows, numbers):
            demand = _number(row[0]) if len(row) == 1 else None
            if demand is None or demand < 0:
                raise ConversionError(f"{source}:{number}: expected 'id demand' with a demand >= 0, "
                                      f"got {shown(content[number])}")
            file.demands.append(demand)
    if "CAPACITY" in keys:
        file.capacity = _number(data.get("capacity"))
        if file.capacity is None or file.capacity < 0:
            raise ConversionError(f"{source}:{keys['CAPACITY']}: CAPACITY is not a number >= 0: "
                                  f"{shown(data.get('capacity'))}")
    if "VEHICLES" in keys:
        vehicles = data.get("vehicles")
        if not isinstance(vehicles, int) or vehicles < 1:
            raise ConversionError(f"{source}:{keys['VEHICLES']}: VEHICLES is not a whole number >= 1: "
                                  f"{shown(vehicles)}")
        file.vehicles = vehicles
    if "depot" in data:
        depots = [int(d) for row in _rows(data["depot"]) for d in row]
        number = sections["DEPOT_SECTION"][0] if sections["DEPOT_SECTION"] else 0
        if len(depots) != 1 or not 0 <= depots[0] < len(points):
            raise ConversionError(f"{source}:{number}: DEPOT_SECTION must name one of the {len(points)} nodes "
                                  f"(1 .. {len(points)}), then -1")
        file.depot = depots[0]
    return file


SOLOMON_HEADER = ("CUST", "NO.", "XCOORD.", "YCOORD.", "DEMAND", "READY", "DUE", "DATE", "SERVICE", "TIME")


def _read_solomon(text: str, source: str) -> _File:
    from vrplib.parse import parse_solomon

    lines = _lines(text)
    upper = [line.upper() for _, line in lines]
    if "CUSTOMER" not in upper:
        raise ConversionError(f"{source}: no CUSTOMER section found")
    customer = upper.index("CUSTOMER")
    if "VEHICLE" not in upper[:customer]:
        raise ConversionError(f"{source}: no VEHICLE section gives the vehicle capacity and count")
    vehicle = upper.index("VEHICLE")
    if vehicle != 1:
        raise ConversionError(f"{source}:{lines[vehicle][0]}: a Solomon file has its name on the first line "
                              "and VEHICLE on the next")
    if customer != vehicle + 3 or not (upper[vehicle + 1].startswith("NUMBER") and "CAPACITY" in upper[vehicle + 1]):
        raise ConversionError(f"{source}:{lines[vehicle][0]}: VEHICLE is not followed by 'NUMBER CAPACITY' "
                              "and two numbers")
    number, line = lines[vehicle + 2]
    fields = line.split()
    counts = [c for c in map(_number, fields) if c is not None]
    if len(fields) != 2 or len(counts) != 2:
        raise ConversionError(f"{source}:{number}: expected the vehicle count and capacity, got {shown(line)}")
    if counts[0] != int(counts[0]) or counts[0] < 0 or counts[1] < 0:
        raise ConversionError(f"{source}:{number}: vehicle count and capacity must be numbers >= 0, "
                              f"the count whole, got {shown(line)}")
    if counts[1] != int(counts[1]) or counts[1] > 2**31 - 1:
        raise ConversionError(f"{source}:{number}: vehicle capacity {fields[1]} is not a 32-bit whole number")
    if customer + 1 >= len(lines) or not all(word in lines[customer + 1][1] for word in SOLOMON_HEADER):
        raise ConversionError(f"{source}:{lines[customer][0]}: CUSTOMER is not followed by the column header "
                              f"({' '.join(SOLOMON_HEADER)})")
    rows = lines[customer + 2:]
    if not rows:
        raise ConversionError(f"{source}: the CUSTOMER section has no rows")
    # vrplib reads the columns as integers and turns what is none into -1: every field is checked first.
    for k, (number, line) in enumerate(rows):
        fields = line.split()
        if len(fields) != 7:
            raise ConversionError(f"{source}:{number}: expected 7 columns, got {len(fields)}: {shown(line)}")
        if any(_number(f) is None for f in fields):
            raise ConversionError(f"{source}:{number}: columns are not finite numbers: {shown(line)}")
        if not all(f.lstrip("+-").isdigit() for f in fields):
            raise ConversionError(f"{source}:{number}: columns are not whole numbers, as Solomon files have them: "
                                  f"{shown(line)}")
        if int(fields[0]) != k:
            raise ConversionError(f"{source}:{number}: expected customer {k}, got {fields[0]}")
    try:
        data = parse_solomon(text, compute_edge_weights=False)
    except Exception as exc:  # vrplib's own word on what it could not read
        raise ConversionError(f"{source}: not a Solomon file: {exc}") from None

    file = _File([(float(x), float(y)) for x, y in data["node_coord"].tolist()])
    file.windows = [(float(s), float(e)) for s, e in data["time_window"].tolist()]
    file.services = [float(s) for s in data["service_time"].tolist()]
    file.demands = [float(d) for d in data["demand"].tolist()]
    for (number, _), (ready, due), service, demand in zip(rows, file.windows, file.services, file.demands):
        if ready > due:
            raise ConversionError(f"{source}:{number}: ready time {ready:g} is after due date {due:g}")
        if demand < 0 or service < 0:
            raise ConversionError(f"{source}:{number}: demand {demand:g} and service time {service:g} "
                                  "may not be negative")
    file.vehicles, file.capacity, file.depot = int(data["vehicles"]), float(data["capacity"]), 0
    return file


def _sniff(text: str) -> str:
    return "solomon" if any(line.upper() == "CUSTOMER" for _, line in _lines(text)) else "vrplib"


def read(path: PathLike, *, format: Optional[str] = None, agents: Optional[int] = None,
         depot: Optional[int] = None, objective: str = "min_max", rounding: str = "real",
         customers: Optional[int] = None, service: bool = True, capacity: bool = True) -> Model:
    """A ``vok.Model`` from a TSPLIB (EUC_2D), VRPLIB CVRP or Solomon VRPTW file, read through vrplib.

    The format is told by the file (a CUSTOMER line makes it Solomon) unless ``format`` says
    "tsplib", "vrplib" or "solomon". Costs are the real Euclidean distances (``rounding="nint"``: the
    nearest integers, as TSPLIB rounds) of one agent type "vehicle"; every route starts and ends at the
    depot: the file's DEPOT_SECTION, customer 0 of a Solomon file, else the first node, or position
    ``depot`` in file order. ``agents`` identical agents (default: the file's vehicle count, at most one
    per node, or 1). Demands, the vehicle capacity (enforced), Solomon service times and windows are
    kept; ``service=False`` leaves the service times out and ``capacity=False`` demands and capacity.
    ``customers`` keeps the first N targets of a Solomon file. Raises ConversionError (a ValueError)
    naming the file and line of a fault."""
    if format is not None and format not in FORMATS:
        raise ConversionError(f"format must be one of {', '.join(FORMATS)}, got {shown(format)}")
    if rounding not in ("real", "nint"):
        raise ConversionError(f"rounding must be 'real' or 'nint', got {shown(rounding)}")
    if objective not in ("min_max", "min_sum"):
        raise ConversionError(f"objective must be 'min_max' or 'min_sum', got {shown(objective)}")
    text = read_text_file(path)
    source = str(path)
    kind = format or _sniff(text)
    file = _read_solomon(text, source) if kind == "solomon" else _read_vrplib(text, source)
    if customers is not None:
        if kind != "solomon":
            raise ConversionError("customers applies to Solomon files only")
        if customers < 1:
            raise ConversionError(f"customers must be at least 1, got {customers}")
        if customers > len(file.points) - 1:
            raise ConversionError(f"{source}: asked for {customers} customers but the file has "
                                  f"{len(file.points) - 1}")
        keep = customers + 1
        file.points = file.points[:keep]
        for name in ("windows", "services", "demands"):
            values = getattr(file, name)
            if values is not None:
                setattr(file, name, values[:keep])
    if agents is None:
        agents = min(file.vehicles or 1, len(file.points))
    if depot is None:
        depot = file.depot or 0
    vehicle_capacity: Optional[int] = None
    # A capacity counts where demands come with it, as in CVRP and Solomon files.
    if capacity and file.demands is not None:
        if file.capacity is None:
            raise ConversionError(f"{source}: the file has demands but no CAPACITY")
        if file.capacity != int(file.capacity) or file.capacity > 2**31 - 1:
            raise ConversionError(f"{source}: vehicle capacity {file.capacity:g} is not a 32-bit whole number")
        vehicle_capacity = int(file.capacity)
    return _model(file.points, agents, depot=depot, objective=objective, rounding=rounding,
                  windows=file.windows, services=file.services if service else None,
                  demands=file.demands if vehicle_capacity is not None else None, capacity=vehicle_capacity)


def _model(points: Sequence[Tuple[float, float]], agents: int, depot: int = 0, objective: str = "min_max",
           rounding: str = "real", return_to_end: bool = True,
           windows: Optional[Sequence[Tuple[float, float]]] = None, services: Optional[Sequence[float]] = None,
           demands: Optional[Sequence[float]] = None, capacity: Optional[int] = None) -> Model:
    if agents < 1:
        raise ConversionError(f"agents must be at least 1, got {agents}")
    # More agents than nodes could only stand idle; such a count is a slip, and a huge one would
    # exhaust memory before the solver ever saw it.
    if agents > len(points):
        raise ConversionError(f"agents {agents} is more than this instance can use: it has {len(points)} nodes, "
                              f"so at most {len(points)} agents")
    if not 0 <= depot < len(points):
        raise ConversionError(f"depot {depot} is not one of the {len(points)} nodes (0 .. {len(points) - 1})")
    for name, values in (("services", services), ("demands", demands), ("windows", windows)):
        if values is not None and len(values) != len(points):
            raise ConversionError(f"{len(values)} {name} for {len(points)} nodes")
    try:
        model = Model(objective=objective, return_to_end=return_to_end)
        model.add_agent_type(AGENT_TYPE, rounding=rounding)
        for i, (x, y) in enumerate(points):
            window = windows[i] if windows is not None else None
            if i == depot:
                model.add_depot(x, y, window=window)
            else:
                model.add_target(x, y, window=window, service=services[i] if services is not None else 0,
                                 demand=demands[i] if demands is not None else 0)
        for _ in range(agents):
            model.add_agent(AGENT_TYPE, depot, depot, capacity=capacity or 0)
    except ConversionError:
        raise
    except ValueError as exc:
        raise ConversionError(str(exc)) from None
    return model


def check_metric_distances(points: Sequence[Tuple[float, float]]) -> None:
    """Refuses coordinates whose Euclidean distance overflows as the core computes it, sqrt(dx² + dy²)."""
    if not points:
        return
    xs, ys = [p[0] for p in points], [p[1] for p in points]
    span_x, span_y = max(xs) - min(xs), max(ys) - min(ys)
    if math.isfinite(span_x * span_x + span_y * span_y):
        return  # no pair is farther apart than the bounding box's diagonal
    for i, (ax, ay) in enumerate(points):
        for j in range(i + 1, len(points)):
            dx, dy = ax - points[j][0], ay - points[j][1]
            if not math.isfinite(dx * dx + dy * dy):
                raise ConversionError(f"the distance from node {i} to node {j} is not a finite number; "
                                      "the coordinates are too large")


def _instance(model: Model, time_limit: Optional[float], metric: bool) -> Instance:
    try:
        return model.to_instance(time_limit, matrices=not metric)
    except ValueError as exc:
        raise ConversionError(str(exc)) from None


def build_instance(
    points: Sequence[Tuple[float, float]],
    agents: int,
    depot: int = 0,
    objective: str = "min_max",
    rounding: str = "real",
    time_limit: Optional[float] = None,
    return_to_end: bool = True,
    windows: Optional[Sequence[Tuple[float, float]]] = None,
    services: Optional[Sequence[float]] = None,
    demands: Optional[Sequence[float]] = None,
    capacity: Optional[int] = None,
    metric: bool = False,
) -> Instance:
    """A single-depot, single-type instance over planar points with Euclidean costs: a full matrix, or with
    ``metric`` the metric form ``{"metric": "euclidean"}`` from which the solver computes the same distances.

    ``services`` and ``demands`` (one per point) become the nodes' "service" and "demand";
    ``capacity`` becomes every agent's "capacity" and turns on "enforce_capacity"."""
    if rounding not in ("real", "nint"):
        raise ConversionError(f"rounding must be 'real' or 'nint', got {shown(rounding)}")
    if objective not in ("min_max", "min_sum"):
        raise ConversionError(f"objective must be 'min_max' or 'min_sum', got {shown(objective)}")
    model = _model(points, agents, depot=depot, objective=objective, rounding=rounding, return_to_end=return_to_end,
                   windows=windows, services=services, demands=demands, capacity=capacity)
    if metric:
        check_metric_distances(points)
    return _instance(model, time_limit, metric)


def tsplib_to_instance(path: PathLike, agents: int, depot: int = 0, objective: str = "min_max",
                       rounding: str = "real", time_limit: Optional[float] = None,
                       metric: bool = False) -> Instance:
    """Instance from a TSPLIB EUC_2D file (or a VRPLIB CVRP file): one depot, ``agents`` identical agents,
    routes return. With ``metric`` the costs are written in the metric form instead of a matrix."""
    model = read(path, format="tsplib", agents=agents, depot=depot, objective=objective, rounding=rounding)
    try:
        if metric:
            check_metric_distances([(node.x, node.y) for node in model._nodes])
        return _instance(model, time_limit, metric)
    except ConversionError as exc:
        raise ConversionError(f"{path}: {exc}") from None


def solomon_to_instance(path: PathLike, agents: int, customers: Optional[int] = None,
                        objective: str = "min_max", time_limit: Optional[float] = None,
                        service: bool = True, capacity: bool = True) -> Instance:
    """Instance from a Solomon VRPTW file: the depot plus the first ``customers`` customers with
    their time windows and real Euclidean travel times, their service times and demands, and the
    file's vehicle capacity for every agent with ``"enforce_capacity": true``, as published.
    ``service=False`` leaves the service times out, ``capacity=False`` the demands, the capacity
    and the capacity rule."""
    model = read(path, format="solomon", agents=agents, customers=customers, objective=objective,
                 service=service, capacity=capacity)
    return _instance(model, time_limit, False)


def to_json(value: Any, width: int = 100) -> str:
    """JSON text with one record per line: a container is broken up only when it does not fit in
    ``width`` columns, and lists of plain values (matrix rows, paths) are never broken up."""

    def compact(v: Any) -> str:
        return json.dumps(v, separators=(", ", ": "), allow_nan=False)

    def render(v: Any, indent: int) -> str:
        text = compact(v)
        if not isinstance(v, (dict, list)) or not v or indent + len(text) <= width:
            return text
        if isinstance(v, list) and not any(isinstance(e, (dict, list)) for e in v):
            return text
        pad = " " * (indent + 1)
        if isinstance(v, dict):
            parts = [f"{pad}{json.dumps(str(k))}: {render(e, indent + 1)}" for k, e in v.items()]
            return "{\n" + ",\n".join(parts) + "\n" + " " * indent + "}"
        parts = [pad + render(e, indent + 1) for e in v]
        return "[\n" + ",\n".join(parts) + "\n" + " " * indent + "]"

    return render(value, 0) + "\n"
