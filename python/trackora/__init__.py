"""Trackora from Python: GPS samples as NumPy records, densities as xarray grids.

The samples are read by the same loaders as the viewer and the tools, and
the density is computed by the same engine, in C++ with the GIL released::

    import trackora
    samples = trackora.read_samples("data/data.bin")
    grid = trackora.density(samples["lat"], samples["lon"], mode=samples["mode"],
                            seconds=samples["seconds"], time=("07:00", "09:00"))
    grid.plot()

Failures raise ``OSError`` (a file that cannot be read) or ``ValueError`` (a
bad argument) with the one-line message the tools print.
"""
from __future__ import annotations

import os
from typing import TYPE_CHECKING, Iterable, Iterator, Optional, Sequence, Tuple, Union

import numpy as np

from . import _native

if TYPE_CHECKING:
    import xarray

__all__ = ["read_samples", "iter_samples", "frame_of", "density", "summarize", "summarize_file", "Summary", "RECORD",
           "MODES", "DEFAULT_FRAME", "GRID_SIDE"]

#: The cells of a density grid on each side.
GRID_SIDE: int = _native.GRID_SIDE
#: The box (south, west, north, east) in degrees that files without a frame file are in.
DEFAULT_FRAME: Tuple[float, float, float, float] = tuple(_native.DEFAULT_FRAME)
#: The transportation modes' flags, as the ``mode`` field holds them.
MODES = {"unknown": 1, "walk": 2, "bike": 4, "bus": 8, "car": 16, "subway": 32, "train": 64,
         "airplane": 128, "boat": 256, "run": 512, "motorcycle": 1024}

#: A binary sample file's record, as stored: latitude and longitude normalised
#: over the file's frame, the mode flag and the seconds since midnight.
RECORD = np.dtype([("x", "<f4"), ("y", "<f4"), ("mode", "<i4"), ("seconds", "<i4")])
_SAMPLE = [("lat", "<f8"), ("lon", "<f8"), ("mode", "<i4"), ("seconds", "<i4")]
_DATED = _SAMPLE + [("date", "datetime64[D]")]
_CHUNK = 1 << 20

PathLike = Union[str, "os.PathLike[str]"]


def _samples(records: np.ndarray, days: Optional[np.ndarray], frame: Sequence[float]) -> np.ndarray:
    """Stored records (normalised x, y) as samples in degrees, dated when ``days`` is given."""
    south, west, north, east = frame
    out = np.empty(len(records), dtype=_DATED if days is not None else _SAMPLE)
    out["lat"] = _native.to_degrees(records["x"], south, north)
    out["lon"] = _native.to_degrees(records["y"], west, east)
    out["mode"] = records["mode"]
    out["seconds"] = records["seconds"]
    if days is not None:
        _set_dates(out, days)
    return out


def _set_dates(out: np.ndarray, days: np.ndarray) -> None:
    dates = np.asarray(days, dtype="<i4").astype("datetime64[D]")
    dates[days == _native.UNKNOWN_DAY] = np.datetime64("NaT")
    out["date"] = dates


def iter_samples(path: PathLike, chunk_size: int = _CHUNK) -> Iterator[np.ndarray]:
    """Yields the samples of ``path`` as :func:`read_samples` gives them, ``chunk_size`` at a time.

    A binary sample file is memory-mapped and converted a chunk at a time, so
    a file larger than memory streams through; other inputs are parsed whole
    first and then handed out in chunks.
    """
    path = os.fspath(path)
    if chunk_size < 1:
        raise ValueError(f"chunk_size must be a positive count, not {chunk_size}")
    if not _native.is_binary(path):
        samples = _read_other(path)
        for start in range(0, len(samples), chunk_size):
            yield samples[start:start + chunk_size]
        return
    count, dated, frame, _clock = _native.open_binary(path)
    if count == 0:
        return
    records = np.memmap(path, dtype=RECORD, mode="r", shape=(count,))
    days = np.memmap(path + ".days", dtype="<i4", mode="r", shape=(count,)) if dated else None
    for start in range(0, count, chunk_size):
        end = min(count, start + chunk_size)
        yield _samples(records[start:end], None if days is None else days[start:end], frame)


def _read_other(path: str) -> np.ndarray:
    """A text sample file, raw tree or track file, parsed in degrees (float32 precision)."""
    raw, days = _native.load_other(path)
    records = raw.view(RECORD).reshape(-1)
    out = np.empty(len(records), dtype=_DATED if days is not None else _SAMPLE)
    # The loaders hold positions read without a frame as float32 degrees.
    out["lat"] = records["x"]
    out["lon"] = records["y"]
    out["mode"] = records["mode"]
    out["seconds"] = records["seconds"]
    if days is not None:
        _set_dates(out, days)
    return out


def read_samples(path: PathLike) -> np.ndarray:
    """The samples of a file as a NumPy structured array.

    Fields: ``lat`` and ``lon`` (degrees, float64), ``mode`` (the mode flag,
    see :data:`MODES`), ``seconds`` (since midnight, in the samples' clock)
    and, where the file has dates (a ``PATH.days`` column, recordings, dated
    track files or text samples), ``date`` (``datetime64[D]``, NaT where a
    sample's date is not known).

    ``path`` is what trackora-import reads: a binary sample file (``.bin``,
    ``.dat``; memory-mapped and converted a chunk at a time, its frame file
    giving the degrees, each sample converted so that :func:`density` places
    it in the cell it was stored in), a text sample file, a raw trajectory
    tree or a GPX/GeoJSON/CSV track file (parsed whole; their positions to
    float32 precision, and from anywhere on the globe). For a file larger
    than memory use :func:`iter_samples`.

    Raises ``OSError`` with the tools' message
    (``Could not load samples from "PATH": REASON``).
    """
    path = os.fspath(path)
    if not _native.is_binary(path):
        return _read_other(path)
    count, dated, frame, _clock = _native.open_binary(path)
    out = np.empty(count, dtype=_DATED if dated else _SAMPLE)
    start = 0
    for chunk in iter_samples(path):
        out[start:start + len(chunk)] = chunk
        start += len(chunk)
    if start != count:
        raise OSError(f'Could not load samples from "{path}": it became shorter while it was read')
    return out


def frame_of(path: PathLike) -> Tuple[float, float, float, float]:
    """The frame (south, west, north, east) a binary sample file was made in; the default box otherwise."""
    path = os.fspath(path)
    if not _native.is_binary(path):
        return DEFAULT_FRAME
    return tuple(_native.open_binary(path)[2])


def _time_text(time: Union[str, Tuple[Union[int, str], Union[int, str]]]) -> str:
    if isinstance(time, str):
        return time
    start, end = time
    return f"{start}-{end}"


def _modes_text(modes: Union[str, int, Iterable[str]]) -> str:
    if isinstance(modes, str):
        return modes
    if isinstance(modes, (int, np.integer)):
        return str(int(modes))
    return ",".join(modes)


def density(lat: np.ndarray, lon: np.ndarray, *, mode: Optional[np.ndarray] = None,
            seconds: Optional[np.ndarray] = None,
            frame: Union[None, str, Sequence[float]] = None,
            sigma: Union[float, str] = 1, size: Optional[int] = None,
            modes: Union[str, int, Iterable[str]] = "all",
            time: Union[str, Tuple[Union[int, str], Union[int, str]]] = (0, 86400),
            values: str = "density", scale: str = "log") -> "xarray.DataArray":
    """The kernel density of samples as a 1000 x 1000 ``xarray.DataArray``.

    Computed by the engine the viewer and trackora-heatmap run, with the
    GIL released: ``density(...)`` equals ``trackora-heatmap --grid`` of the
    same samples with the same options.

    lat, lon: degrees, one per sample (any float arrays).
    mode: each sample's mode flag (:data:`MODES`); None: all unknown.
    seconds: each sample's seconds since midnight; None: all at midnight.
    frame: the box the grid covers, ``(south, west, north, east)`` or
        ``"S,W,N,E"`` in degrees; ``"fit"`` fits it to the samples as
        ``trackora-import --box fit`` does, ``"auto"`` takes the default box
        when it holds most samples and fits otherwise; None (as
        trackora-import): the default box :data:`DEFAULT_FRAME`. Each sample
        is placed as the importer places it, in the cell its degrees give;
        samples outside the box are kept, so those within the kernel's reach
        of an edge add to it.
    sigma: the Gaussian's sigma in cells north-south, or metres as ``"60m"``.
    size: the odd table side in cells; None: 5, or three sigmas each way for
        a sigma in metres.
    modes: ``"all"``, a mask, ``"walk,bus"`` or a list of mode names.
    time: the window ``(from, to)`` in seconds or ``"hh:mm[:ss]"``, or ``"07:00-09:00"``.
    values: ``"density"`` (samples per km²), ``"display"`` (the 0-1 levels the
        colours show, by ``scale``) or ``"count"`` (samples centred in each cell).
    scale: ``"log"`` or ``"linear"``, for display levels.

    The array's dims are ``latitude`` (south to north, as the grid's rows)
    and ``longitude``, their coordinates the cells' centres in degrees (WGS
    84, EPSG:4326); ``attrs`` hold ``units``, ``crs`` and the settings.
    Raises ``ValueError`` with trackora-heatmap's message for a bad option.
    """
    options = _options(sigma, size, modes, time, values, scale)
    if mode is None and _modes_text(modes) != "all":
        raise ValueError("modes: choosing modes needs each sample's mode (mode=...)")
    if seconds is None and _time_text(time) not in ("0-86400", "00:00-24:00"):
        raise ValueError("time: a time window needs each sample's seconds since midnight (seconds=...)")
    grid, info = _native.density(lat, lon, mode, seconds,
                                 None if frame is None else (frame if isinstance(frame, str) else tuple(frame)),
                                 options)
    attrs = _grid_attrs(info, values)
    return _grid_array(grid, info, values, attrs)


def _grid_array(grid: np.ndarray, info: dict, values: str, attrs: dict) -> "xarray.DataArray":
    """The grid with its cells' centres as coordinates (row 0 south)."""
    import xarray as xr

    south, west, north, east = info["frame"]
    side = GRID_SIDE
    latitude = south + (np.arange(side) + 0.5) * ((north - south) / side)
    longitude = west + (np.arange(side) + 0.5) * ((east - west) / side)
    return xr.DataArray(grid, dims=("latitude", "longitude"),
                        coords={"latitude": ("latitude", latitude, {"units": "degrees_north"}),
                                "longitude": ("longitude", longitude, {"units": "degrees_east"})},
                        name=values, attrs=attrs)


def _grid_attrs(info: dict, values: str) -> dict:
    return {
        "units": info["units"],
        "crs": "EPSG:4326",
        "values": values,
        "frame": tuple(info["frame"]),
        "sigma": info["sigma"],
        "sigma_metres": info["sigma_metres"],
        "size": info["table_rows"],
        "table": (info["table_rows"], info["table_cols"]),
        "mode_mask": info["mode_mask"],
        "time_window": tuple(info["time_window"]),
        "scale": info["scale"],
        "max_density": info["max_density"],
        "samples": info["samples"],
        "engine": info["engine"],
    }


def _options(sigma, size, modes, time, values, scale) -> list:
    """trackora-heatmap's settings options for density's keywords."""
    if scale not in ("log", "linear"):
        raise ValueError(f'scale: "{scale}" is not log or linear')
    options = ["--sigma", str(sigma), "--modes", _modes_text(modes), "--time", _time_text(time), "--values", values,
               "--" + scale]
    if size is not None:
        options += ["--size", str(size)]
    return options


StepText = str
TimeWindow = Union[str, Tuple[Union[int, str], Union[int, str]]]


class Summary:
    """Exact counts of samples per cell, mode, step of the day (and weekday), that add.

    A summary (``.tsum``, the file trackora-summary writes and the viewer
    opens) counts samples by mode, time step and cell of the count grid for
    one frame and one step length; its size follows the occupied keys, not
    the samples. Summaries of one frame, step and clock add with ``+``
    (``sum(parts)`` works too), and :meth:`density` computes from the sum
    the grid that the samples themselves give for windows on step edges.

    Make one with :func:`summarize` (arrays), :func:`summarize_file` (files)
    or :meth:`Summary.open`. Summaries pickle as their file's bytes, so Dask
    moves them between workers.
    """

    __slots__ = ("_native",)

    def __init__(self, native: "_native.Summary") -> None:
        self._native = native

    @classmethod
    def open(cls, path: PathLike) -> "Summary":
        """Reads a ``.tsum`` file; ``OSError`` with trackora-summary's message for one that cannot be read."""
        return cls(_native.open_summary(os.fspath(path)))

    @classmethod
    def from_bytes(cls, data: bytes, name: str = "summary") -> "Summary":
        """A summary from a file's bytes (``ValueError`` naming ``name`` for bytes that are not one)."""
        return cls(_native.summary_from_bytes(bytes(data), name))

    def to_bytes(self) -> bytes:
        """The ``.tsum`` file's bytes."""
        return self._native.to_bytes()

    def __reduce__(self):
        return (Summary.from_bytes, (self.to_bytes(), self.name))

    def save(self, path: PathLike) -> None:
        """Writes the summary to ``path`` all at once or not at all (a temporary beside it, renamed)."""
        self._native.save(os.fspath(path))

    def __add__(self, other: "Summary") -> "Summary":
        """The sum; ``ValueError`` with trackora-summary merge's message for another frame, step or clock."""
        if not isinstance(other, Summary):
            return NotImplemented
        return Summary(self._native.add(other._native))

    def __radd__(self, other):
        # sum() starts from 0.
        if isinstance(other, int) and other == 0:
            return self
        return NotImplemented

    def __eq__(self, other) -> bool:
        return isinstance(other, Summary) and self.to_bytes() == other.to_bytes()

    __hash__ = None  # type: ignore[assignment]

    @property
    def name(self) -> str:
        """The file or shard it came from, as messages name it."""
        return self._native.name

    @property
    def frame(self) -> Tuple[float, float, float, float]:
        """(south, west, north, east) in degrees."""
        return tuple(self._native.header()["frame"])

    @property
    def step(self) -> int:
        """The step of the day in seconds (60, 300, 600, 900, 1800 or 3600)."""
        return self._native.header()["step"]

    @property
    def clock(self) -> str:
        """The clock the times of day and dates are in ("UTC" or a zone)."""
        return self._native.header()["clock"]

    @property
    def samples(self) -> int:
        """Every sample summarised, counted or not."""
        return self._native.header()["totals"]["samples"]

    @property
    def totals(self) -> dict:
        """samples, counted (in a cell), far (beyond the count grid, within a kernel's reach),
        dropped (further out, or no position) and outside_day (a time outside 0 .. 86399)."""
        return dict(self._native.header()["totals"])

    @property
    def entries(self) -> int:
        """The occupied (day class, mode, step, cell) keys: what the size follows."""
        return self._native.header()["entries"]

    @property
    def days(self) -> np.ndarray:
        """The dates present (``datetime64[D]``, ascending); empty when the samples had none."""
        return self._native.header()["days"].astype("datetime64[D]")

    def __repr__(self) -> str:
        header = self._native.header()
        return (f"<trackora.Summary {self.name!r}: {header['totals']['samples']} samples, "
                f"{header['step'] // 60}-min steps, frame {tuple(header['frame'])}, {header['entries']} keys>")

    def density(self, *, sigma: Union[float, str] = 1, size: Optional[int] = None,
                modes: Union[str, int, Iterable[str]] = "all", time: TimeWindow = (0, 86400),
                weekdays: Optional[str] = None, per_day: bool = False, values: str = "density",
                scale: str = "log") -> "xarray.DataArray":
        """The kernel density of the summarised samples, as :func:`density` returns it.

        The keywords are :func:`density`'s; the time window takes the steps
        it overlaps whole, so for a window whose ends lie on step edges the
        grid equals that of the samples. ``weekdays`` (``"mon-fri"``,
        ``"sat,sun"``...) and ``per_day`` (values divided by the days the
        selection covers) need samples that had dates. Computed with the GIL
        released, as ``trackora-heatmap SUMMARY --grid`` computes it.
        """
        options = _options(sigma, size, modes, time, values, scale)
        if weekdays is not None:
            options += ["--weekdays", weekdays]
        if per_day:
            options += ["--per-day"]
        grid, info = self._native.density(options)
        attrs = _grid_attrs(info, values)
        attrs["days"] = info["days"]
        return _grid_array(grid, info, values, attrs)


def _days_of(date: Optional[np.ndarray]) -> Optional[np.ndarray]:
    """Dates as days since 1970-01-01, NaT as the unknown day."""
    if date is None:
        return None
    date = np.asarray(date)
    if np.issubdtype(date.dtype, np.integer):
        return date.astype("<i4")
    days = date.astype("datetime64[D]")
    out = days.astype("<i8")
    out[np.isnat(days)] = _native.UNKNOWN_DAY
    return out.astype("<i4")


def summarize(lat: np.ndarray, lon: np.ndarray, *, mode: Optional[np.ndarray] = None,
              seconds: Optional[np.ndarray] = None, date: Optional[np.ndarray] = None,
              frame: Union[None, str, Sequence[float]] = None, step: StepText = "15m",
              tz: Optional[str] = None, name: str = "arrays") -> Summary:
    """The summary of samples given as arrays, placed as :func:`density` places them.

    lat, lon, mode, seconds, frame: as for :func:`density` (``frame="fit"``
    fits the box to these samples only: give summaries that are to be added
    one box). date: ``datetime64`` (NaT: unknown) or days since 1970-01-01,
    one per sample; None: no dates. step: ``"1m"``, ``"5m"``, ``"10m"``,
    ``"15m"``, ``"30m"`` or ``"60m"``. tz: the clock the seconds and dates are
    in, recorded in the summary (None: UTC); the times are not converted.
    The arrays are read a chunk at a time, with the GIL released.
    """
    return Summary(_native.summarize(lat, lon, mode, seconds, _days_of(date),
                                     None if frame is None else (frame if isinstance(frame, str) else tuple(frame)),
                                     step, tz or "UTC", name))


def summarize_file(*paths: PathLike, step: StepText = "15m", box: Optional[Union[str, Sequence[float]]] = None,
                   tz: Optional[str] = None, utc_offset: Optional[float] = None, dates: Optional[str] = None,
                   visits: bool = False) -> Summary:
    """The summary ``trackora-summary build PATH... --step ... --box ... --tz ...`` writes, byte for byte.

    Takes anything the importer reads: binary or text sample files, raw
    trajectory trees, GPX/GeoJSON/CSV track files. box: ``(south, west,
    north, east)`` or ``"S,W,N,E"``; None: the sample files' own frame, else
    the default box. dates: ``"FROM..TO"``. Raises ``OSError`` (a file that
    cannot be read) or ``ValueError`` (a bad option) with the tool's line.
    """
    if not paths:
        raise ValueError("summarize_file needs at least one input")
    arguments = [os.fspath(path) for path in paths] + ["--step", step]
    if box is not None:
        arguments += ["--box", box if isinstance(box, str) else ",".join(repr(float(side)) for side in box)]
    if tz:
        arguments += ["--tz", tz]
    if utc_offset is not None:
        arguments += ["--utc-offset", str(utc_offset)]
    if dates:
        arguments += ["--dates", dates]
    if visits:
        arguments += ["--visits"]
    return Summary(_native.summarize_files(arguments, os.fspath(paths[0])))
