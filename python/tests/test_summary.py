"""Summaries from Python against trackora-summary and trackora.density: the same bytes, the same grids."""
import os
import pickle
import signal
import subprocess

import pytest

np = pytest.importorskip("numpy")
pytest.importorskip("xarray")
trackora = pytest.importorskip("trackora")

SUMMARY = os.environ.get("TRACKORA_SUMMARY", "trackora-summary")
SOUTH, WEST, NORTH, EAST = trackora.DEFAULT_FRAME


@pytest.fixture(scope="module")
def dated(tmp_path_factory):
    """Dated samples over the default box and beyond it, at times on and off the steps' edges."""
    rng = np.random.default_rng(29)
    n = 4000
    lat = np.round(rng.uniform(SOUTH - 0.05, NORTH + 0.05, n), 6)
    lon = np.round(rng.uniform(WEST - 0.05, EAST + 0.05, n), 6)
    mode = rng.choice([1, 2, 8, 16, 64], n).astype(np.int32)
    seconds = rng.integers(0, 86400, n).astype(np.int32)
    seconds[:400] = rng.integers(0, 96, 400) * 900  # a step's first second
    seconds[400:800] = rng.integers(1, 97, 400) * 900 - 1  # its last
    date = np.datetime64("2024-03-04") + rng.integers(0, 12, n).astype("timedelta64[D]")
    path = tmp_path_factory.mktemp("dated") / "dated.txt"
    with open(path, "w") as out:
        for i in range(n):
            out.write(f"{lat[i]!r} {lon[i]!r} {seconds[i]} {mode[i]} {date[i]}\n")
    return path, lat, lon, mode, seconds, date


def tool_build(tmp_path, *arguments):
    out = tmp_path / "tool.tsum"
    subprocess.run([SUMMARY, "build", *map(str, arguments), "-o", str(out)], check=True, capture_output=True)
    return out


def test_arrays_files_and_the_tool_give_one_summary(tmp_path, dated):
    """The same bytes from arrays, from the file, from the tool; halves added, and through pickle.

    Catches a sample placed or keyed differently from the tool's (a cell,
    a step, a weekday off), dates lost, a merge that is not the tool's, and a
    pickle that drops anything."""
    path, lat, lon, mode, seconds, date = dated
    expected = tool_build(tmp_path, path, "--step", "15m").read_bytes()
    arrays = trackora.summarize(lat, lon, mode=mode, seconds=seconds, date=date)
    half = len(lat) // 2
    parts = [trackora.summarize(lat[s], lon[s], mode=mode[s], seconds=seconds[s], date=date[s])
             for s in (slice(half, None), slice(0, half))]
    for summary in [trackora.summarize_file(path), arrays, parts[0] + parts[1], sum(parts),
                    pickle.loads(pickle.dumps(arrays))]:
        assert summary.to_bytes() == expected
    assert arrays.samples == len(lat) and arrays.totals["counted"] < len(lat)
    assert set(arrays.days) == set(date)
    saved = tmp_path / "saved.tsum"
    arrays.save(saved)
    assert saved.read_bytes() == expected and trackora.Summary.open(saved) == arrays


def test_failures_carry_the_tools_message(tmp_path, dated):
    """Another step refused as trackora-summary merge refuses it; bad files and options as build does."""
    path = dated[0]
    five = tool_build(tmp_path, path, "--step", "5m").rename(tmp_path / "five.tsum")
    fifteen = tool_build(tmp_path, path)
    run = subprocess.run([SUMMARY, "merge", str(fifteen), str(five), "-o", str(tmp_path / "sum.tsum")],
                         capture_output=True, text=True)
    line = run.stderr.splitlines()[0].removeprefix("trackora-summary: ").removesuffix("; nothing written")
    with pytest.raises(ValueError, match="^" + line.replace('"', '.') + "$"):
        trackora.Summary.open(fifteen) + trackora.Summary.open(five)
    cut = tmp_path / "cut.tsum"
    cut.write_bytes(fifteen.read_bytes()[:-20])
    for call, kind, arguments in [(lambda: trackora.Summary.open(cut), OSError, ["info", str(cut)]),
                                  (lambda: trackora.summarize_file(tmp_path / "missing.txt"), OSError,
                                   ["build", str(tmp_path / "missing.txt"), "-o", str(tmp_path / "x.tsum")]),
                                  (lambda: trackora.summarize_file(path, step="7m"), ValueError,
                                   ["build", str(path), "--step", "7m", "-o", str(tmp_path / "x.tsum")])]:
        run = subprocess.run([SUMMARY, *arguments], capture_output=True, text=True)
        with pytest.raises(kind) as raised:
            call()
        assert str(raised.value) == run.stderr.splitlines()[0].removeprefix("trackora-summary: ")
    assert not (tmp_path / "x.tsum").exists()


# Windows whose ends lie on the steps' edges (the end inclusive, as the
# tools read it), and the settings that reach the summary engine.
WINDOWS = [
    {"time": ("07:00", "08:59:59"), "values": "count"},
    {"time": ("00:00", "23:59:59"), "modes": ["walk", "bus"], "sigma": 2.5, "size": 9},
    {"time": ("17:15", "19:29:59"), "modes": 64, "values": "display", "scale": "linear"},
]


@pytest.mark.parametrize("keywords", WINDOWS)
def test_summary_density_equals_the_samples_density(dated, keywords, monkeypatch):
    """The grid of the summary is the grid of its samples: catches a step, mode or cell keyed wrongly."""
    monkeypatch.setenv("TRACKORA_ENGINE", "cpu")
    _, lat, lon, mode, seconds, date = dated
    summary = trackora.summarize(lat, lon, mode=mode, seconds=seconds, date=date)
    grid = summary.density(**keywords)
    expected = trackora.density(lat, lon, mode=mode, seconds=seconds, **keywords)
    assert grid.values.any()
    assert np.array_equal(grid.values, expected.values)
    assert np.array_equal(grid.latitude, expected.latitude) and grid.attrs["units"] == expected.attrs["units"]


def test_weekdays_and_per_day_count_the_days_held(dated):
    """Weekday counts are the samples of those days, divided by the days present on them."""
    _, lat, lon, mode, seconds, date = dated
    summary = trackora.summarize(lat, lon, mode=mode, seconds=seconds, date=date)
    weekend = np.isin((date.astype("datetime64[D]").astype(np.int64) + 3) % 7, [5, 6])
    inside = (lat >= SOUTH) & (lat < NORTH) & (lon >= WEST) & (lon < EAST)
    grid = summary.density(weekdays="sat,sun", values="count")
    assert grid.values.sum() == np.count_nonzero(weekend & inside)
    per_day = summary.density(weekdays="sat,sun", values="count", per_day=True)
    days = len(set(date[weekend]))
    assert per_day.attrs["days"] == days
    assert np.array_equal(per_day.values, (grid.values / np.float32(days)).astype(np.float32))


def test_python_keeps_its_signal_handlers(dated):
    """The tool's build, run inside Python, leaves Ctrl-C as KeyboardInterrupt, not the end of the process."""
    trackora.summarize_file(dated[0])
    with pytest.raises(KeyboardInterrupt):
        os.kill(os.getpid(), signal.SIGINT)
        for _ in range(1000):  # the handler runs between bytecodes
            pass
