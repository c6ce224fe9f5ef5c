"""Turn standard benchmark formats (TSPLIB, Solomon) into VOK's JSON instance format.

Both converters return the instance as a dict ready for ``json.dumps`` and
``_vok_core.solve_json_str``. Node ids are the positions 0, 1, 2, ... so that
the node indices in a result's routes are the ids of the instance.
``to_json`` writes an instance (or a result) as compact, line-per-record JSON.
"""

from __future__ import annotations

import json
import math
from dataclasses import dataclass
import os
import stat
from pathlib import Path
from typing import Any, Dict, List, Optional, Sequence, Tuple, Union

AGENT_TYPE = "vehicle"
Instance = Dict[str, Any]
PathLike = Union[str, Path]


class ConversionError(ValueError):
    """A benchmark file that cannot be converted; the message names the file and line."""


def read_text_file(path: PathLike) -> str:
    """The whole text of a regular UTF-8 file. Anything else (a FIFO, a device such as /dev/zero,
    a folder) is refused before a byte is read, since reading it may never end."""
    fd = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0))
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise ConversionError(f"cannot read {path}: not a regular file")
        with os.fdopen(fd, "rb", closefd=False) as handle:
            data = handle.read()
    finally:
        os.close(fd)
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as exc:
        raise ConversionError(f"{path}: not UTF-8 text: byte 0x{data[exc.start]:02x} at byte offset "
                              f"{exc.start}") from None


def _distance(a: Tuple[float, float], b: Tuple[float, float], rounding: str) -> float:
    d = math.hypot(a[0] - b[0], a[1] - b[1])
    if rounding == "nint":
        return float(int(d + 0.5))
    return d


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
    if agents < 1:
        raise ConversionError(f"agents must be at least 1, got {agents}")
    # More agents than nodes could only stand idle; such a count is a slip, and a huge one would
    # exhaust memory before the solver ever saw it.
    if agents > len(points):
        raise ConversionError(f"agents {agents} is more than this instance can use: it has {len(points)} nodes, "
                              f"so at most {len(points)} agents")
    if not 0 <= depot < len(points):
        raise ConversionError(f"depot {depot} is not one of the {len(points)} nodes (0 .. {len(points) - 1})")
    if rounding not in ("real", "nint"):
        raise ConversionError(f"rounding must be 'real' or 'nint', got {rounding!r}")
    if objective not in ("min_max", "min_sum"):
        raise ConversionError(f"objective must be 'min_max' or 'min_sum', got {objective!r}")
    for name, values in (("services", services), ("demands", demands), ("windows", windows)):
        if values is not None and len(values) != len(points):
            raise ConversionError(f"{len(values)} {name} for {len(points)} nodes")
    nodes: List[Dict[str, Any]] = [
        {"id": i, "x": x, "y": y, "type": "depot" if i == depot else "target"} for i, (x, y) in enumerate(points)
    ]
    for key, values in (("service", services), ("demand", demands)):
        if values is not None:
            for node, value in zip(nodes, values):
                node[key] = value
    costs: Any
    if metric:
        costs = {"metric": "euclidean", "round": "nint"} if rounding == "nint" else {"metric": "euclidean"}
    else:
        costs = [[_distance(a, b, rounding) for b in points] for a in points]
        for i, row in enumerate(costs):
            for j, d in enumerate(row):
                if not math.isfinite(d):
                    raise ConversionError(f"the distance from node {i} to node {j} is not a finite number; "
                                          "the coordinates are too large")
    constraints: List[Dict[str, Any]] = [
        # Every node names its type explicitly, which keeps the solver's set-up quiet.
        {"kind": "assignment", "items": [{"node": i, "types": [AGENT_TYPE]} for i in range(len(points))]}
    ]
    if windows is not None:
        constraints.append(
            {
                "kind": "timewindow",
                "items": [{"node": i, "start": s, "end": e} for i, (s, e) in enumerate(windows)],
            }
        )
    options: Dict[str, Any] = {"objective": objective, "return_to_end": return_to_end}
    if time_limit is not None:
        options["time_limit"] = time_limit
    agent_list: List[Dict[str, Any]] = [
        {"id": k, "type": AGENT_TYPE, "start_node": depot, "end_node": depot} for k in range(agents)
    ]
    if capacity is not None:
        for agent in agent_list:
            agent["capacity"] = capacity
        options["enforce_capacity"] = True
    return {
        "nodes": nodes,
        "agents": agent_list,
        "costs": {AGENT_TYPE: costs},
        "constraints": constraints,
        "options": options,
    }


def _number(text: str) -> float:
    value = float(text)
    if not math.isfinite(value):
        raise ValueError(text)
    return value


def parse_tsplib(text: str, source: str = "<tsplib>") -> List[Tuple[float, float]]:
    """Coordinates of a TSPLIB file with EUC_2D weights, in file order."""
    points: List[Tuple[float, float]] = []
    dimension: Optional[int] = None
    dimension_line = 0
    in_coords = False
    for number, raw in enumerate(text.splitlines(), start=1):
        line = raw.strip()
        if not line:
            continue
        if line.upper() == "EOF":
            break
        head = line.split()[0].rstrip(":").upper()
        if head.endswith("_SECTION"):
            if head != "NODE_COORD_SECTION":
                raise ConversionError(f"{source}:{number}: {head} is not supported; "
                                      "only NODE_COORD_SECTION with EUC_2D weights is")
            if points:
                raise ConversionError(f"{source}:{number}: a second NODE_COORD_SECTION")
            in_coords = True
            continue
        if in_coords:
            fields = line.split()
            if len(fields) != 3:
                raise ConversionError(f"{source}:{number}: expected 'id x y', got {line!r}")
            try:
                points.append((_number(fields[1]), _number(fields[2])))
            except ValueError:
                raise ConversionError(f"{source}:{number}: coordinates are not finite numbers: {line!r}") from None
            continue
        key, sep, value = line.partition(":")
        if not sep:
            raise ConversionError(f"{source}:{number}: expected 'KEY: value' or a section name, got {line!r}")
        key, value = key.strip().upper(), value.strip()
        if key == "DIMENSION":
            try:
                dimension = int(value)
            except ValueError:
                raise ConversionError(f"{source}:{number}: DIMENSION is not an integer: {value!r}") from None
            dimension_line = number
        elif key == "EDGE_WEIGHT_TYPE" and value.upper() != "EUC_2D":
            raise ConversionError(f"{source}:{number}: only EUC_2D weights are supported, got {value!r}")
    if not points:
        raise ConversionError(f"{source}: no NODE_COORD_SECTION entries found")
    if dimension is not None and dimension != len(points):
        raise ConversionError(f"{source}:{dimension_line}: DIMENSION is {dimension} "
                              f"but {len(points)} coordinate lines were read")
    return points


def tsplib_to_instance(path: PathLike, agents: int, depot: int = 0, objective: str = "min_max",
                       rounding: str = "real", time_limit: Optional[float] = None,
                       metric: bool = False) -> Instance:
    """Instance from a TSPLIB EUC_2D file: one depot, ``agents`` identical agents, routes return. With
    ``metric`` the costs are written in the metric form instead of a matrix."""
    path = Path(path)
    points = parse_tsplib(read_text_file(path), str(path))
    return build_instance(points, agents, depot=depot, objective=objective, rounding=rounding,
                          time_limit=time_limit, metric=metric)


@dataclass(frozen=True)
class SolomonRow:
    """One line of a Solomon file's CUSTOMER section."""
    x: float
    y: float
    demand: float
    ready: float
    due: float
    service: float


@dataclass(frozen=True)
class SolomonFile:
    """A Solomon file: its vehicle count and capacity (None without a VEHICLE section), depot first in rows."""
    vehicles: Optional[int]
    capacity: Optional[float]
    rows: List[SolomonRow]


def _vehicle_section(lines: Sequence[str], source: str) -> Tuple[Optional[int], Optional[float]]:
    at = next((i for i, raw in enumerate(lines) if raw.strip().upper() == "VEHICLE"), None)
    if at is None:
        return None, None
    filled = [(i, raw.strip()) for i, raw in enumerate(lines[at + 1:], start=at + 1) if raw.strip()]
    if len(filled) < 2 or filled[0][1].split()[0].upper() != "NUMBER":
        raise ConversionError(f"{source}:{at + 1}: VEHICLE is not followed by 'NUMBER CAPACITY' and two numbers")
    number, line = filled[1]
    fields = line.split()
    try:
        if len(fields) != 2:
            raise ValueError(line)
        vehicles, capacity = _number(fields[0]), _number(fields[1])
    except ValueError:
        raise ConversionError(f"{source}:{number + 1}: expected the vehicle count and capacity, got {line!r}") from None
    if vehicles != int(vehicles) or vehicles < 0 or capacity < 0:
        raise ConversionError(f"{source}:{number + 1}: vehicle count and capacity must be numbers >= 0, "
                              f"the count whole, got {line!r}")
    return int(vehicles), capacity


def read_solomon(text: str, source: str = "<solomon>") -> SolomonFile:
    """Everything a Solomon VRPTW file holds: the vehicles and every customer row, depot first."""
    rows: List[SolomonRow] = []
    lines = text.splitlines()
    start = None
    for number, raw in enumerate(lines, start=1):
        if raw.strip().upper() == "CUSTOMER":
            start = number + 1  # the column header follows
            break
    if start is None:
        raise ConversionError(f"{source}: no CUSTOMER section found")
    vehicles, capacity = _vehicle_section(lines[:start], source)
    for number, raw in enumerate(lines[start:], start=start + 1):
        line = raw.strip()
        if not line:
            continue
        fields = line.split()
        if len(fields) != 7:
            raise ConversionError(f"{source}:{number}: expected 7 columns, got {len(fields)}: {line!r}")
        try:
            values = [_number(f) for f in fields]
        except ValueError:
            raise ConversionError(f"{source}:{number}: columns are not finite numbers: {line!r}") from None
        if values[0] != len(rows):
            raise ConversionError(f"{source}:{number}: expected customer {len(rows)}, got {fields[0]}")
        if values[4] > values[5]:
            raise ConversionError(f"{source}:{number}: ready time {fields[4]} is after due date {fields[5]}")
        if values[3] < 0 or values[6] < 0:
            raise ConversionError(f"{source}:{number}: demand {fields[3]} and service time {fields[6]} "
                                  "may not be negative")
        rows.append(SolomonRow(values[1], values[2], values[3], values[4], values[5], values[6]))
    if not rows:
        raise ConversionError(f"{source}: the CUSTOMER section has no rows")
    return SolomonFile(vehicles, capacity, rows)


def parse_solomon(text: str, source: str = "<solomon>") -> List[Tuple[float, float, float, float]]:
    """Rows (x, y, ready, due) of a Solomon file, depot first; ``read_solomon`` gives the other columns."""
    return [(r.x, r.y, r.ready, r.due) for r in read_solomon(text, source).rows]


def solomon_to_instance(path: PathLike, agents: int, customers: Optional[int] = None,
                        objective: str = "min_max", time_limit: Optional[float] = None,
                        service: bool = True, capacity: bool = True) -> Instance:
    """Instance from a Solomon VRPTW file: the depot plus the first ``customers`` customers with
    their time windows and real Euclidean travel times, their service times and demands, and the
    file's vehicle capacity for every agent with ``"enforce_capacity": true``, as published.
    ``service=False`` leaves the service times out, ``capacity=False`` the demands, the capacity
    and the capacity rule."""
    path = Path(path)
    data = read_solomon(read_text_file(path), str(path))
    rows = data.rows
    if customers is not None:
        if customers < 1:
            raise ConversionError(f"customers must be at least 1, got {customers}")
        if customers > len(rows) - 1:
            raise ConversionError(f"{path}: asked for {customers} customers but the file has {len(rows) - 1}")
        rows = rows[: customers + 1]
    vehicle_capacity: Optional[int] = None
    if capacity:
        if data.capacity is None:
            raise ConversionError(f"{path}: no VEHICLE section gives the vehicle capacity; "
                                  "convert without capacities (--no-capacity) instead")
        if data.capacity != int(data.capacity) or data.capacity > 2**31 - 1:
            raise ConversionError(f"{path}: vehicle capacity {data.capacity:g} is not a 32-bit whole number")
        vehicle_capacity = int(data.capacity)
    return build_instance(
        [(r.x, r.y) for r in rows], agents, depot=0, objective=objective, time_limit=time_limit,
        windows=[(r.ready, r.due) for r in rows],
        services=[r.service for r in rows] if service else None,
        demands=[r.demand for r in rows] if capacity else None,
        capacity=vehicle_capacity)


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
