"""Summaries built on a Dask cluster: each shard summarised where a worker runs, the parts added in a tree.

From the command line::

    python3 -m trackora.dask build SHARD... -o OUT.tsum [--step 15m] [--box S,W,N,E|fit] [--tz ZONE]
                                   [--scheduler ADDRESS]
    python3 -m trackora.dask demo --samples 10e9 -o city.tsum [--seed N] [--shards K]

or from Python, :func:`build` and :func:`demo`. Without a scheduler's
address a ``distributed.LocalCluster`` runs on this machine's cores (one
single-threaded worker process per core, on the loopback interface only) and
is closed at the end; with one, the work goes to that cluster, whose workers
need the trackora package importable. Dask only schedules: the samples are
read and counted in C++ (:func:`trackora.summarize_file`,
:func:`trackora.summarize`), and only summaries travel.

A shard is what trackora-summary build reads (a binary or text sample file,
a raw trajectory tree, a GPX or GeoJSON track file), or a table: a CSV or
Parquet file with the columns ``latitude``/``lat``, ``longitude``/``lon``/
``lng``, ``time``/``timestamp``/``datetime`` (ISO 8601, UTC unless a zone
is written) and optionally ``mode`` (names or flags), read through
``dask.dataframe`` so a large table is split over the workers.
"""
from __future__ import annotations

import argparse
import math
import os
import sys
import time as _time
from typing import List, Optional, Sequence, Union

import numpy as np

import trackora
from trackora import Summary, _native

__all__ = ["build", "demo", "ShardError", "main"]

PathLike = Union[str, "os.PathLike[str]"]
_TABLES = (".csv", ".parquet", ".pq")
_COLUMNS = {"lat": ("latitude", "lat", "y"), "lon": ("longitude", "lon", "lng", "long", "x"),
            "time": ("time", "timestamp", "datetime"), "mode": ("mode",)}
# Positions kept per shard for --box fit: enough for the fit's percentiles
# and clusters, little to move.
_FIT_POSITIONS = 200_000


class ShardError(RuntimeError):
    """A shard that could not be summarised: ``str()`` is one line naming it and the reason."""

    def __init__(self, shard: str, reason: str) -> None:
        line = reason if f'"{shard}"' in reason else f'"{shard}": {reason}'
        super().__init__(line)
        self.shard = shard

    def __reduce__(self):
        # The line names the shard already, so it comes back unchanged.
        return (ShardError, (self.shard, str(self)))


def _is_table(path: str) -> bool:
    return path.lower().endswith(_TABLES) and not os.path.isdir(path)


def _column(frame, shard: str, key: str, required: bool = True) -> Optional[str]:
    names = {str(name).lower(): name for name in frame.columns}
    for alias in _COLUMNS[key]:
        if alias in names:
            return names[alias]
    if required:
        raise ShardError(shard, f"no {_COLUMNS[key][0]} column (one of {', '.join(_COLUMNS[key])})")
    return None


def _read_table(shard: str):
    """The table as a dask DataFrame; a one-line refusal for Parquet without a reader."""
    import dask.dataframe as dd

    if shard.lower().endswith(".csv"):
        # As text: the coordinates are converted by _degrees, not pandas' parser.
        return dd.read_csv(shard, dtype=str, keep_default_na=False, blocksize="64MB")
    try:
        return dd.read_parquet(shard)
    except (ImportError, RuntimeError, ValueError) as error:
        if "pyarrow" in str(error) or "fastparquet" in str(error) or isinstance(error, ImportError):
            raise ShardError(shard, "reading Parquet needs pyarrow or fastparquet, and this Python has "
                                    "neither (CSV tables need neither)") from None
        raise


def _mode_flags(values, shard: str) -> np.ndarray:
    values = np.asarray(values)
    if values.dtype.kind in "iu":
        return values.astype(np.int32)
    out = np.empty(len(values), dtype=np.int32)
    for i, text in enumerate(values.astype(str)):
        text = text.strip()
        if text.lower() in trackora.MODES:
            out[i] = trackora.MODES[text.lower()]
        elif text.lstrip("-").isdigit():
            out[i] = int(text)
        else:
            raise ShardError(shard, f'"{text}" is not a mode (one of {", ".join(trackora.MODES)}, or a flag)')
    return out


def _degrees(column) -> np.ndarray:
    """Decimals as the nearest doubles (NumPy's conversion rounds correctly, as the importer does)."""
    values = column.to_numpy()
    return values.astype(np.float64) if values.dtype.kind in "fiu" else np.asarray(values, dtype=str).astype(np.float64)


def _table_columns(part, shard: str, tz: Optional[str]):
    """(lat, lon, mode, seconds, days) of one partition, in the clock of ``tz`` (UTC without)."""
    import pandas as pd

    lat = _degrees(part[_column(part, shard, "lat")])
    lon = _degrees(part[_column(part, shard, "lon")])
    stamps = pd.to_datetime(part[_column(part, shard, "time")], utc=True)
    if tz:
        stamps = stamps.dt.tz_convert(tz)
    wall = stamps.dt.tz_localize(None)
    seconds = (wall - wall.dt.normalize()).dt.total_seconds().to_numpy().astype(np.int32)
    days = wall.dt.normalize().to_numpy().astype("datetime64[D]")
    mode_column = _column(part, shard, "mode", required=False)
    mode = None if mode_column is None else _mode_flags(part[mode_column].to_numpy(), shard)
    return lat, lon, mode, seconds, days


def _summarise_partition(part, shard: str, frame, step: str, tz: Optional[str]) -> Summary:
    try:
        if not len(part):
            return trackora.summarize(np.empty(0), np.empty(0), frame=frame, step=step, tz=tz, name=shard)
        lat, lon, mode, seconds, days = _table_columns(part, shard, tz)
        # As the importer reads track files: fixes outside the frame (bounds
        # inclusive, in double precision) are left out, not counted.
        south, west, north, east = (trackora.DEFAULT_FRAME if frame is None
                                    else [float(side) for side in frame.split(",")])
        inside = (lat >= south) & (lat <= north) & (lon >= west) & (lon <= east)
        if not inside.all():
            lat, lon, seconds, days = lat[inside], lon[inside], seconds[inside], days[inside]
            mode = None if mode is None else mode[inside]
        return trackora.summarize(lat, lon, mode=mode, seconds=seconds, date=days, frame=frame, step=step,
                                  tz=tz, name=shard)
    except ShardError:
        raise
    except Exception as error:  # the reader's reason, on one line, naming the shard
        raise ShardError(shard, " ".join(str(error).split()) or type(error).__name__) from None


def _summarise_file(shard: str, step: str, box: Optional[str], tz: Optional[str]) -> Summary:
    try:
        return trackora.summarize_file(shard, step=step, box=box, tz=tz)
    except (OSError, ValueError) as error:
        raise ShardError(shard, str(error)) from None


def _positions_of_partition(part, shard: str) -> np.ndarray:
    try:
        lat = _degrees(part[_column(part, shard, "lat")]).astype(np.float32)
        lon = _degrees(part[_column(part, shard, "lon")]).astype(np.float32)
    except ShardError:
        raise
    except Exception as error:
        raise ShardError(shard, " ".join(str(error).split())) from None
    return _thin(np.stack([lat, lon]))


def _positions_of_file(shard: str) -> np.ndarray:
    try:
        if not _native.is_binary(shard):
            samples = trackora.read_samples(shard)
            return _thin(np.stack([samples["lat"].astype(np.float32), samples["lon"].astype(np.float32)]))
        # A sample file streams through, a chunk at a time, keeping what
        # _thin would keep of the whole.
        every = max(1, math.ceil(_native.open_binary(shard)[0] / _FIT_POSITIONS))
        kept, start = [], 0
        for chunk in trackora.iter_samples(shard):
            chunk_kept = chunk[(-start) % every::every]
            kept.append(np.stack([chunk_kept["lat"].astype(np.float32), chunk_kept["lon"].astype(np.float32)]))
            start += len(chunk)
        return np.concatenate(kept, axis=1) if kept else np.empty((2, 0), np.float32)
    except OSError as error:
        raise ShardError(shard, str(error)) from None


def _thin(positions: np.ndarray) -> np.ndarray:
    """Every k-th position, at most _FIT_POSITIONS: the same ones on every run."""
    keep = positions[:, np.isfinite(positions).all(axis=0)]
    every = max(1, math.ceil(keep.shape[1] / _FIT_POSITIONS))
    return keep[:, ::every]


def _add(a: Summary, b: Summary) -> Summary:
    return a + b


def _tree_sum(client, futures: list):
    """Adds the parts pairwise on the workers, in the order given: a tree of depth log2(parts)."""
    level = list(futures)
    while len(level) > 1:
        following = [client.submit(_add, level[i], level[i + 1], pure=False) for i in range(0, len(level) - 1, 2)]
        if len(level) % 2:
            following.append(level[-1])
        level = following
    return level[0]


class _Cluster:
    """The scheduler at ``address``, or a LocalCluster on this machine's cores, closed on exit."""

    def __init__(self, address: Optional[str], workers: Optional[int], memory_limit: Union[str, int]) -> None:
        self.address, self.workers, self.memory_limit = address, workers, memory_limit
        self.cluster = None
        self.client = None

    def __enter__(self):
        from distributed import Client, LocalCluster

        if self.address:
            self.client = Client(self.address)
        else:
            # Every listener on the loopback interface: the workers' HTTP
            # servers would otherwise listen on all of them.
            self.cluster = LocalCluster(n_workers=self.workers or os.cpu_count() or 1, threads_per_worker=1,
                                        processes=True, host="127.0.0.1", dashboard_address="127.0.0.1:0",
                                        worker_dashboard_address="127.0.0.1:0",
                                        memory_limit=self.memory_limit, silence_logs=40)
            self.client = Client(self.cluster)
        return self.client

    def __exit__(self, *exc) -> None:
        if self.client is not None:
            self.client.close()
        if self.cluster is not None:
            self.cluster.close()


def _gather_sum(client, parts: list, show_progress: bool) -> Summary:
    """The sum of the parts' futures; the first failure cancels the rest and is raised as it came.

    Only the sum's future is kept: each part and partial sum is released as
    soon as the add that takes it is done, so a worker holds a few summaries
    at a time, not every part.
    """
    from distributed import progress

    total = _tree_sum(client, parts)
    del parts[:]
    try:
        if show_progress:
            progress(total)  # the sum and every task it depends on; returns when done or one failed
        return total.result()
    except BaseException:
        client.cancel([total])
        raise


def _check_output(output: str) -> None:
    folder = os.path.dirname(os.path.abspath(output))
    if not os.path.isdir(folder):
        raise OSError(f'"{output}": no such folder "{folder}"')
    if not os.access(folder, os.W_OK):
        raise OSError(f'"{output}": its folder cannot be written')


def _box_text(box: Union[None, str, Sequence[float]]) -> Optional[str]:
    if box is None or isinstance(box, str):
        return box
    return ",".join(repr(float(side)) for side in box)


def build(shards: Sequence[PathLike], output: Optional[PathLike] = None, *, step: str = "15m",
          box: Union[None, str, Sequence[float]] = None, tz: Optional[str] = None,
          scheduler: Optional[str] = None, workers: Optional[int] = None, memory_limit: Union[str, int] = "auto",
          show_progress: bool = True) -> Summary:
    """The summary of every shard, built on a Dask cluster, saved to ``output`` when given.

    shards: sample files, raw trees, GPX/GeoJSON track files, CSV or Parquet
    tables (see the module's documentation). step, tz: as for
    ``trackora-summary build``. box: ``"S,W,N,E"`` or a 4-tuple; ``"fit"``
    fits one frame to all the shards in a first pass (each worker thins its
    shard's positions to at most 200 000, the fit runs on those together);
    None: the sample files' own frame, else the default box. scheduler: a
    Dask scheduler's address; None: a LocalCluster of ``workers`` processes
    (default: one per core), closed at the end.

    The parts are added in a tree on the workers. A shard that fails stops
    the build: :class:`ShardError` with one line naming the shard and the
    reason, and nothing is written. The summary equals that of
    ``trackora-summary build`` over the same files, however they are split.
    """
    shards = [os.fspath(shard) for shard in shards]
    if not shards:
        raise ValueError("build needs at least one shard")
    if output is not None:
        output = os.fspath(output)
        _check_output(output)
    missing = [shard for shard in shards if not os.path.exists(shard)]
    if missing:
        raise ShardError(missing[0], "no such file or directory")
    box_text = _box_text(box)
    # A bad step or box is told before a cluster starts.
    fitting = box_text is not None and box_text.strip().lower() == "fit"
    trackora.summarize(np.empty(0), np.empty(0), frame=None if fitting else box_text, step=step)
    tables = {shard: _read_table(shard) for shard in shards if _is_table(shard)}
    import dask

    with _Cluster(scheduler, workers, memory_limit) as client:
        if fitting:
            positions = []
            for shard in shards:
                if shard in tables:
                    positions += client.compute([dask.delayed(_positions_of_partition)(part, shard)
                                                 for part in tables[shard].to_delayed()])
                else:
                    positions.append(client.submit(_positions_of_file, shard, pure=False))
            gathered = client.gather(positions)
            both = np.concatenate(gathered, axis=1) if gathered else np.empty((2, 0), np.float32)
            box_text = _box_text(_native.fit_frame(both[0], both[1]))
        frame = None if box_text is None else box_text
        parts = []
        for shard in shards:
            if shard in tables:
                delayed = [dask.delayed(_summarise_partition)(part, shard, frame, step, tz)
                           for part in tables[shard].to_delayed()]
                parts += client.compute(delayed)
            else:
                parts.append(client.submit(_summarise_file, shard, step, box_text, tz, pure=False))
        summary = _gather_sum(client, parts, show_progress)
    if output is not None:
        summary.save(output)
    return summary


def _city_shard(seed: int, shard: int, samples: int, step: str) -> Summary:
    return Summary(_native.city_summary(seed, shard, samples, step))


def demo(samples: int, output: Optional[PathLike] = None, *, seed: int = 1, shards: Optional[int] = None,
         step: str = "15m", scheduler: Optional[str] = None, workers: Optional[int] = None,
         memory_limit: Union[str, int] = "auto", show_progress: bool = True) -> Summary:
    """The summary of ``samples`` samples of the synthetic city, made on the workers.

    Each shard's samples are generated from (seed, shard) in C++ and counted
    as they are made, never stored: the same seed and shards give the same
    summary on any cluster. shards: default one per 250 million samples, at
    least two per worker.
    """
    samples = int(samples)
    if samples < 0:
        raise ValueError(f"--samples must not be negative, not {samples}")
    if output is not None:
        output = os.fspath(output)
        _check_output(output)
    _native.city_summary(seed, 0, 0, step)  # a bad step told before a cluster starts
    with _Cluster(scheduler, workers, memory_limit) as client:
        count = shards or max(2 * len(client.scheduler_info()["workers"]), math.ceil(samples / 250_000_000))
        base, extra = divmod(samples, count)
        parts = [client.submit(_city_shard, seed, index, base + (index < extra), step, pure=False)
                 for index in range(count)]
        summary = _gather_sum(client, parts, show_progress)
    if output is not None:
        summary.save(output)
    return summary


def _count(text: str) -> int:
    value = float(text)
    if not math.isfinite(value) or value < 0 or value != int(value):
        raise argparse.ArgumentTypeError(f'"{text}" is not a whole number of samples')
    return int(value)


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(prog="python3 -m trackora.dask",
                                     description="Summaries of GPS samples built on a Dask cluster.")
    commands = parser.add_subparsers(dest="command", required=True)
    building = commands.add_parser("build", help="summarise shards on the workers and add the parts")
    building.add_argument("shards", nargs="+", help="sample files, raw trees, track files, CSV or Parquet tables")
    building.add_argument("-o", "--output", required=True, help="the summary to write (.tsum)")
    building.add_argument("--step", default="15m", help="step of the day: 1m, 5m, 10m, 15m, 30m or 60m")
    building.add_argument("--box", help="SOUTH,WEST,NORTH,EAST or fit (one frame fitted to all shards)")
    building.add_argument("--tz", help="the time zone clock times are converted to")
    building.add_argument("--scheduler", help="a Dask scheduler's address (default: a cluster on this machine)")
    demoing = commands.add_parser("demo", help="summarise the synthetic city, generated on the workers")
    demoing.add_argument("--samples", type=_count, required=True, help="how many samples, e.g. 10e9")
    demoing.add_argument("-o", "--output", required=True, help="the summary to write (.tsum)")
    demoing.add_argument("--seed", type=int, default=1, help="the city's samples for this seed")
    demoing.add_argument("--shards", type=int, help="how many pieces the samples are made in")
    demoing.add_argument("--step", default="15m", help="step of the day")
    demoing.add_argument("--scheduler", help="a Dask scheduler's address (default: a cluster on this machine)")
    argv = list(sys.argv[1:] if argv is None else argv)
    # A box's south is often negative: "--box -12.3,..." is its value, not an option.
    for i in range(len(argv) - 1):
        if argv[i] == "--box" and argv[i + 1][:1] == "-":
            argv[i:i + 2] = ["--box=" + argv[i + 1], ""]
    arguments = parser.parse_args([argument for argument in argv if argument != ""])
    started = _time.monotonic()
    try:
        if arguments.command == "build":
            summary = build(arguments.shards, arguments.output, step=arguments.step, box=arguments.box,
                            tz=arguments.tz, scheduler=arguments.scheduler)
        else:
            summary = demo(arguments.samples, arguments.output, seed=arguments.seed, shards=arguments.shards,
                           step=arguments.step, scheduler=arguments.scheduler)
    except (ShardError, OSError, ValueError, MemoryError) as error:
        print(f"\ntrackora.dask: {error}; nothing written", file=sys.stderr)
        return 1
    seconds = _time.monotonic() - started
    print(f"\nwrote {arguments.output}: {summary.samples} samples, {summary.entries} keys, "
          f"{os.path.getsize(arguments.output)} bytes, in {seconds:.1f} s "
          f"({summary.samples / max(seconds, 1e-9) / 1e6:.1f} million samples a second)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
