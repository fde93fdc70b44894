"""The Python module against the tools: the same grids, the same messages, the same samples back."""
import os
from decimal import Decimal
import subprocess

import pytest

np = pytest.importorskip("numpy")
pytest.importorskip("xarray")
trackora = pytest.importorskip("trackora")

HEATMAP = os.environ.get("TRACKORA_HEATMAP", "trackora-heatmap")
IMPORT = os.environ.get("TRACKORA_IMPORT", "trackora-import")
SOUTH, WEST, NORTH, EAST = trackora.DEFAULT_FRAME


def write_samples(path, lat, lon, mode, seconds, dates=None):
    """A text sample file: the decimals written are the doubles numpy holds (repr round-trips)."""
    with open(path, "w") as out:
        for i in range(len(lat)):
            line = f"{lat[i]!r} {lon[i]!r} {seconds[i]} {mode[i]}"
            out.write(line + (f" {dates[i]}" if dates is not None else "") + "\n")


def cell_edges(low, high):
    """The edges of the grid's cells, from low to high, as the doubles nearest the exact decimals."""
    low, high = Decimal(repr(low)), Decimal(repr(high))
    return [float(low + k * (high - low) / 1000) for k in range(1001)]


@pytest.fixture(scope="module")
def city(tmp_path_factory):
    """Samples over the default box and a little beyond, with points on cell edges and the borders."""
    rng = np.random.default_rng(7)
    n = 3000
    lat = np.round(rng.uniform(SOUTH - 0.01, NORTH + 0.01, n), 6)
    lon = np.round(rng.uniform(WEST - 0.01, EAST + 0.01, n), 6)
    # Exact cell edges (39.75 + k * 0.00035), the frame's bounds among them,
    # where a placement that rounds differently from the importer's changes cells.
    lat[:1001], lon[-1001:] = cell_edges(SOUTH, NORTH), cell_edges(WEST, EAST)
    mode = rng.choice([1, 2, 8, 16, 64], n).astype(np.int32)
    seconds = rng.integers(0, 86400, n).astype(np.int32)
    path = tmp_path_factory.mktemp("city") / "city.txt"
    write_samples(path, lat, lon, mode, seconds)
    return path, lat, lon, mode, seconds


def tool_grid(tmp_path, data, *options):
    grid = tmp_path / "grid.f32"
    subprocess.run([HEATMAP, str(data), "--engine", "cpu", "--grid", str(grid), *options], check=True,
                   capture_output=True)
    return np.fromfile(grid, dtype="<f4").reshape(trackora.GRID_SIDE, trackora.GRID_SIDE)


# Each case maps the keywords to trackora-heatmap's options; a keyword
# passed wrongly, a grid flipped or transposed, or a sample placed in
# another cell than the importer's makes the grids differ.
CASES = [
    ({}, ["--values", "density"]),
    ({"sigma": 2.5, "size": 9, "modes": ["walk", "bus"], "time": ("07:00", "19:00"), "values": "count"},
     ["--sigma", "2.5", "--size", "9", "--modes", "walk,bus", "--time", "07:00-19:00", "--values", "count"]),
    ({"sigma": "60m", "modes": 16, "values": "display", "scale": "linear"},
     ["--sigma", "60m", "--modes", "16", "--values", "display", "--linear"]),
]


@pytest.mark.parametrize("keywords,options", CASES)
def test_density_equals_the_tools_grid(tmp_path, city, keywords, options, monkeypatch):
    monkeypatch.setenv("TRACKORA_ENGINE", "cpu")
    path, lat, lon, mode, seconds = city
    grid = trackora.density(lat, lon, mode=mode, seconds=seconds, **keywords)
    expected = tool_grid(tmp_path, path, *options)
    assert grid.shape == (1000, 1000)
    assert np.array_equal(grid.values, expected)
    assert grid.values.any()


def test_coordinates_are_the_cells_centres(monkeypatch):
    """A lone sample's count lies at the coordinates nearest to it, in a box of the data's own."""
    monkeypatch.setenv("TRACKORA_ENGINE", "cpu")
    frame = (-12.2, -77.2, -11.8, -76.8)
    lat, lon = np.array([-12.05013, -11.85021]), np.array([-77.15007, -76.95033])
    grid = trackora.density(lat, lon, frame=frame, values="count")
    for y, x in zip(lat, lon):
        assert grid.sel(latitude=y, longitude=x, method="nearest").item() == 1
    assert grid.sum().item() == 2
    assert grid.attrs["frame"] == frame and grid.attrs["crs"] == "EPSG:4326"


def tool_error(*arguments):
    """trackora-heatmap's one-line message, without the program's name."""
    run = subprocess.run([HEATMAP, *arguments], capture_output=True, text=True)
    assert run.returncode != 0
    return run.stderr.splitlines()[0].removeprefix("trackora-heatmap: ")


def test_failures_carry_the_tools_message(tmp_path, city):
    """By kind: a missing file, a days column of the wrong length, a bad number; then each option."""
    path = city[0]
    short_days = tmp_path / "short.bin"
    short_days.write_bytes(bytes(32))
    (tmp_path / "short.bin.days").write_bytes(bytes(4))
    bad_number = tmp_path / "bad.txt"
    bad_number.write_text("39.9 116.4 30000 2\n39.9x 116.4 30000 2\n")
    for bad in [tmp_path / "missing.bin", tmp_path / "missing.txt", short_days, bad_number]:
        with pytest.raises(OSError) as raised:
            trackora.read_samples(bad)
        assert str(raised.value) == tool_error(str(bad), "--values", "count")
        assert "\n" not in str(raised.value)
    for keywords, option in [({"sigma": 0}, ["--sigma", "0"]), ({"size": 4}, ["--size", "4"]),
                             ({"modes": "walk,hover"}, ["--modes", "walk,hover"]),
                             ({"time": ("09:00", "07:00")}, ["--time", "09:00-07:00"]),
                             ({"values": "heat"}, ["--values", "heat"])]:
        lat, lon, mode, seconds = city[1:]
        with pytest.raises(ValueError) as raised:
            trackora.density(lat, lon, mode=mode, seconds=seconds, **keywords)
        assert str(raised.value) == tool_error(str(path), *option)


def test_read_samples_round_trips_an_import_with_dates(tmp_path, monkeypatch):
    """Import a dated text file into a box of its own: the samples come back as written, in their cells."""
    monkeypatch.setenv("TRACKORA_ENGINE", "cpu")
    rng = np.random.default_rng(11)
    frame = (-12.173137, -77.13144, -11.766147, -76.775939)
    n = 2500
    lat = np.round(rng.uniform(frame[0], frame[2], n), 6)
    lon = np.round(rng.uniform(frame[1], frame[3], n), 6)
    # Exact cell edges, whose stored floats lie a step inside the cell
    # north or east of them: degrees read back naively land a cell short.
    lat[:1001], lon[-1001:] = cell_edges(frame[0], frame[2]), cell_edges(frame[1], frame[3])
    mode = rng.choice([2, 4, 1024], n).astype(np.int32)
    seconds = rng.integers(0, 86400, n).astype(np.int32)
    dates = np.datetime64("2008-02-27") + rng.integers(0, 5, n).astype("timedelta64[D]")
    text = tmp_path / "lima.txt"
    write_samples(text, lat, lon, mode, seconds, dates.astype(str))
    binary = tmp_path / "lima.bin"
    subprocess.run([IMPORT, str(text), "-o", str(binary), "--box", ",".join(map(repr, frame))], check=True,
                   capture_output=True)

    for samples in [trackora.read_samples(binary), np.concatenate(list(trackora.iter_samples(binary, 77)))]:
        assert samples.dtype.names == ("lat", "lon", "mode", "seconds", "date")
        assert np.array_equal(samples["date"], dates)
        assert np.array_equal(samples["mode"], mode) and np.array_equal(samples["seconds"], seconds)
        # Within a float32 step of the frame's span of the degrees written.
        assert np.abs(samples["lat"] - lat).max() < 1e-6 and np.abs(samples["lon"] - lon).max() < 1e-6
    assert trackora.frame_of(binary) == frame
    # Placed again, every sample is counted in the cell it was stored in.
    again = trackora.density(samples["lat"], samples["lon"], frame=frame, values="count")
    assert np.array_equal(again.values, tool_grid(tmp_path, binary, "--values", "count"))
    # The text file itself, dates included.
    direct = trackora.read_samples(text)
    assert np.array_equal(direct["date"], dates)
