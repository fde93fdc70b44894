"""Summaries on Dask against trackora-summary build: the same bytes however the data is split."""
import os
import signal
import subprocess

import pytest

np = pytest.importorskip("numpy")
pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")
trackora = pytest.importorskip("trackora")
import trackora.dask as tdask  # noqa: E402

SUMMARY = os.environ.get("TRACKORA_SUMMARY", "trackora-summary")
SOUTH, WEST, NORTH, EAST = trackora.DEFAULT_FRAME


@pytest.fixture(autouse=True)
def deadline():
    """A hung cluster fails the test instead of the run."""
    def expired(*_):
        raise TimeoutError("the Dask test ran past its 60 s")
    previous = signal.signal(signal.SIGALRM, expired)
    signal.alarm(60)
    yield
    signal.alarm(0)
    signal.signal(signal.SIGALRM, previous)


@pytest.fixture(scope="module")
def cluster():
    """Two single-threaded worker processes on the loopback interface, closed after the module."""
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  dashboard_address="127.0.0.1:0", worker_dashboard_address="127.0.0.1:0",
                                  silence_logs=40) as local:
        yield local.scheduler_address


@pytest.fixture(scope="module")
def data(tmp_path_factory):
    """One dataset as a text sample file and as a CSV table (dated), and each split into five shards."""
    folder = tmp_path_factory.mktemp("shards")
    rng = np.random.default_rng(30)
    n = 5000
    lat = np.round(rng.uniform(SOUTH - 0.05, NORTH + 0.05, n), 6)
    lon = np.round(rng.uniform(WEST - 0.05, EAST + 0.05, n), 6)
    mode = rng.choice([1, 2, 8, 16], n)
    seconds = rng.integers(0, 86400, n)
    stamps = np.datetime64("2024-03-30T00:00:00") + rng.integers(0, 86400 * 6, n).astype("timedelta64[s]")
    text = [f"{lat[i]!r} {lon[i]!r} {seconds[i]} {mode[i]}\n" for i in range(n)]
    rows = [f"{lat[i]!r},{lon[i]!r},{stamps[i]}Z\n" for i in range(n)]
    (folder / "all.txt").write_text("".join(text))
    (folder / "all.csv").write_text("latitude,longitude,time\n" + "".join(rows))
    bounds = [0, 1, 900, 2000, 2001, n]  # an one-sample shard among them
    for k in range(5):
        (folder / f"part{k}.txt").write_text("".join(text[bounds[k]:bounds[k + 1]]))
        (folder / f"part{k}.csv").write_text("latitude,longitude,time\n" + "".join(rows[bounds[k]:bounds[k + 1]]))
    return folder


def tool_build(folder, whole, *options):
    out = folder / f"tool-{whole}-{len(options)}.tsum"
    subprocess.run([SUMMARY, "build", str(folder / whole), *options, "-o", str(out)], check=True,
                   capture_output=True)
    return out.read_bytes()


# Sample files read on the workers by the tool's own reader, and tables read
# through dask.dataframe (their times converted to a zone's clock by pandas).
CASES = [("txt", [], {}), ("csv", ["--tz", "Europe/Berlin", "--step", "5m"], {"tz": "Europe/Berlin", "step": "5m"})]


@pytest.mark.parametrize("kind,options,keywords", CASES)
def test_a_dask_build_is_the_tools_summary_however_split(cluster, data, tmp_path, kind, options, keywords):
    """Catches a part lost or added twice in the tree, parts keyed differently from the tool, a table's
    coordinate or time read differently from the importer's, and a sum that depends on the split."""
    expected = tool_build(data, f"all.{kind}", *options)
    for shards in [[f"part{k}.{kind}" for k in range(5)], [f"part{k}.{kind}" for k in (4, 0, 2, 1, 3)],
                   [f"all.{kind}"]]:
        out = tmp_path / "dask.tsum"
        summary = tdask.build([data / shard for shard in shards], out, scheduler=cluster, show_progress=False,
                              **keywords)
        assert out.read_bytes() == expected, shards
        assert summary.to_bytes() == expected


def test_box_fit_fits_one_frame_to_every_shard(cluster, data, tmp_path):
    """The importer's fitted box of all the samples, not of one shard: catches positions lost between the
    passes, a fit per shard, and shards built in another frame than the one fitted."""
    whole = trackora.read_samples(data / "all.txt")
    fitted = trackora.density(whole["lat"], whole["lon"], frame="fit").attrs["frame"]
    summary = tdask.build([data / f"part{k}.txt" for k in range(5)], box="fit", scheduler=cluster,
                          show_progress=False)
    assert summary.frame == fitted != trackora.DEFAULT_FRAME
    assert summary.to_bytes() == tool_build(data, "all.txt", "--box", ",".join(map(repr, fitted)))


def test_a_bad_shard_stops_the_build_naming_it(cluster, data, tmp_path):
    """One line naming the bad shard and why; an existing output left as it was."""
    bad = tmp_path / "bad.txt"
    bad.write_text("39.9 116.4 30000 2\n39.9x 116.4 30000 2\n")
    table = tmp_path / "bad.csv"
    table.write_text("latitude,longitude,time\n39.9,116.4,yesterday\n")
    out = tmp_path / "out.tsum"
    out.write_bytes(b"before")
    for shard in [bad, table, tmp_path / "missing.bin"]:
        with pytest.raises(tdask.ShardError) as raised:
            tdask.build([data / "part1.txt", shard, data / "part2.txt"], out, scheduler=cluster,
                        show_progress=False)
        line = str(raised.value)
        assert "\n" not in line and f'"{shard}"' in line and raised.value.shard == str(shard)
        assert out.read_bytes() == b"before"
        if shard == bad:  # the importer's own reason
            run = subprocess.run([SUMMARY, "build", str(bad), "-o", str(tmp_path / "x.tsum")],
                                 capture_output=True, text=True)
            assert line == run.stderr.splitlines()[0].removeprefix("trackora-summary: ")
