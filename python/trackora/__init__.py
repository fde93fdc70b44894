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

__all__ = ["read_samples", "iter_samples", "frame_of", "density", "RECORD", "MODES", "DEFAULT_FRAME", "GRID_SIDE"]

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
    import xarray as xr

    if scale not in ("log", "linear"):
        raise ValueError(f'scale: "{scale}" is not log or linear')
    modes_text = _modes_text(modes)
    time_text = _time_text(time)
    if mode is None and modes_text != "all":
        raise ValueError("modes: choosing modes needs each sample's mode (mode=...)")
    if seconds is None and time_text not in ("0-86400", "00:00-24:00"):
        raise ValueError("time: a time window needs each sample's seconds since midnight (seconds=...)")
    options = ["--sigma", str(sigma), "--modes", modes_text, "--time", time_text, "--values", values,
               "--" + scale]
    if size is not None:
        options += ["--size", str(size)]
    grid, info = _native.density(lat, lon, mode, seconds,
                                 None if frame is None else (frame if isinstance(frame, str) else tuple(frame)),
                                 options)
    south, west, north, east = info["frame"]
    side = GRID_SIDE
    latitude = south + (np.arange(side) + 0.5) * ((north - south) / side)
    longitude = west + (np.arange(side) + 0.5) * ((east - west) / side)
    attrs = {
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
    return xr.DataArray(grid, dims=("latitude", "longitude"),
                        coords={"latitude": ("latitude", latitude, {"units": "degrees_north"}),
                                "longitude": ("longitude", longitude, {"units": "degrees_east"})},
                        name=values, attrs=attrs)
