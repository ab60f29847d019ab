# The Python reader against series written by the station's own writer, and
# against mdq-dump reading the same files.
import csv
import io
import os
import re
import shutil
import subprocess
import sys

import numpy as np
import pytest

sys.path.insert(0, os.environ.get("MDQ_PYTHON_DIR",
                                  os.path.join(os.path.dirname(__file__), "..", "..", "python")))
import mdqrun  # noqa: E402

DUMP = os.environ.get("MDQ_DUMP")
MAKE = os.environ.get("MDQ_MAKE_SERIES")


def need_tools():
    if not DUMP or not MAKE:
        pytest.fail("MDQ_DUMP and MDQ_MAKE_SERIES must name mdq-dump and make_series (run through ctest)")


def make(tmp_path, nx, ny, nev, fmax, seed, name="s"):
    need_tools()
    base = str(tmp_path / name)
    out = subprocess.run([MAKE, base, str(nx), str(ny), str(nev), str(fmax), str(seed)],
                         check=True, capture_output=True, text=True, timeout=60)
    return base, [l[8:] for l in out.stdout.splitlines() if l.startswith("series: ")]


def dump_csv(files):
    out = subprocess.run([DUMP, "--csv", "--summary", os.devnull] + files,
                         capture_output=True, text=True, timeout=120)
    return out.returncode, list(csv.DictReader(io.StringIO(out.stdout)))


def dump_fault_offset(files):
    out = subprocess.run([DUMP] + files, capture_output=True, text=True, timeout=120)
    m = re.search(r"CORRUPT at byte offset (\d+)", out.stdout)
    return int(m.group(1)) if m else None


@pytest.fixture(scope="module")
def series(tmp_path_factory):
    # 3 x 2 positions of 2500 events with a 200 kB limit: several files, and
    # positions that continue across a roll-over.
    tmp = tmp_path_factory.mktemp("series")
    base, files = make(tmp, 3, 2, 2500, 200000, 17)
    return base, files


def test_series_reads_as_mdq_dump_reads_it(series):
    base, files = series
    assert len(files) >= 3
    run = mdqrun.load(files[0])
    assert run.files == files
    assert run.complete
    rc, rows = dump_csv(files)
    assert rc == 0
    assert len(run.events) == len(rows) > 0

    ev = np.asarray(run.events)
    pos = run.positions[ev["pos"]]
    for name in ("ix", "iy", "xset", "yset"):
        assert np.array_equal(pos[name], [int(r[name]) for r in rows]), name
    assert np.array_equal(ev["nev"], [int(r["nev"]) for r in rows])
    tdc = np.array([[int(r["tdc%d" % i]) for i in range(32)] for r in rows])
    adc = np.array([[int(r["adc%d" % i]) for i in range(32)] for r in rows])
    assert np.array_equal(ev["tdc"], tdc)
    assert np.array_equal(ev["adc"], adc)
    # Field access and per-channel columns read the same bytes as the whole table.
    assert np.array_equal(run.events["adc"], adc)
    assert np.array_equal(run.events.channel("tdc", 31), tdc[:, 31])
    assert np.array_equal(run.events["pos"], ev["pos"])
    assert np.array_equal(run.events[-1]["adc"], adc[-1])
    # A position split by a roll-over comes back whole.
    file_of = [r["file"] for r in rows]
    split = [k for k in range(len(run.positions))
             if len({f for f, p in zip(file_of, ev["pos"]) if p == k}) > 1]
    assert split, "no position spans two files: the roll-over case is not exercised"
    k = split[0]
    assert np.array_equal(run.events.position(k), ev[ev["pos"] == k])


def test_header_positions_and_record(series):
    base, files = series
    run = mdqrun.load(files[1])  # any file of the series finds all of it
    assert run.files == files
    h = run.header
    assert (h.nx, h.x0, h.dx, h.ny, h.y0, h.dy, h.nev) == (3, -7, 3, 2, 11, -5, 2500)
    assert list(zip(run.positions["ix"], run.positions["iy"])) == \
        [(0, 0), (1, 0), (2, 0), (0, 1), (1, 1), (2, 1)]
    assert np.array_equal(run.positions["xset"], h.x0 + h.dx * run.positions["ix"])
    assert np.array_equal(run.positions["yset"], h.y0 + h.dy * run.positions["iy"])
    rec = run.record
    assert rec is not None and rec["ended"]
    assert [f["name"] for f in rec["files"]] == [os.path.basename(f) for f in files]
    assert [f["size"] for f in rec["files"]] == [os.path.getsize(f) for f in files]
    counts = np.bincount(run.events["pos"], minlength=len(run.positions))
    assert list(counts) == [p["saved"] for p in rec["positions"]]
    assert rec["totals"]["saved"] == len(run.events)


def test_damage_raises_at_the_offset_mdq_dump_names(tmp_path):
    base, files = make(tmp_path, 2, 1, 1500, 0, 5)
    assert len(files) == 1
    f = files[0]
    good = open(f, "rb").read()
    whole = len(mdqrun.load(f).events)

    # Cut inside the last event record: the fault is where that record starts.
    open(f, "wb").write(good[:-50])
    with pytest.raises(mdqrun.RunFileError) as e:
        mdqrun.load(f)
    want = len(good) - 12 - 140
    assert e.value.offset == want
    assert str(want) in str(e.value)
    assert dump_fault_offset(files) == want
    # Whole records before the cut stay readable on request.
    cut = mdqrun.load(f, allow_incomplete=True)
    assert not cut.complete
    assert len(cut.events) == whole - 1

    # A broken record type in the middle of an event run.
    bad = bytearray(good)
    at = 56 + 36 + 140 * 700
    bad[at] = 9
    open(f, "wb").write(bytes(bad))
    with pytest.raises(mdqrun.RunFileError) as e:
        mdqrun.load(f)
    assert e.value.offset == at
    assert dump_fault_offset(files) == at

    # A file cut exactly between records has lost its end record.
    open(f, "wb").write(good[:-12])
    with pytest.raises(mdqrun.RunFileError) as e:
        mdqrun.load(f)
    assert e.value.offset == len(good) - 12


def test_a_missing_file_in_the_middle_of_a_series_is_refused(tmp_path):
    base, files = make(tmp_path, 1, 1, 3000, 100000, 2)
    assert len(files) >= 3
    os.remove(files[1])
    with pytest.raises(FileNotFoundError) as e:
        mdqrun.load(files[0])
    assert os.path.basename(files[1]) in str(e.value)


def test_plot_example_writes_a_picture(series, tmp_path):
    base, files = series
    png = tmp_path / "run.png"
    script = os.path.join(os.environ.get("MDQ_PYTHON_DIR", ""), "plot_run.py")
    out = subprocess.run([sys.executable, script, files[0], "--channel", "3", "-o", str(png)],
                         capture_output=True, text=True, timeout=120,
                         env=dict(os.environ, MPLBACKEND="Agg"))
    assert out.returncode == 0, out.stderr
    data = png.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n" and len(data) > 10000


def test_mdq_dump_verifies_against_the_record_and_lists_the_runs(tmp_path):
    base, files = make(tmp_path, 2, 2, 1200, 150000, 9, name="a")
    make(tmp_path, 1, 1, 10, 0, 3, name="b, with comma")
    assert len(files) >= 2
    ok = subprocess.run([DUMP, "--verify", files[0]], capture_output=True, text=True, timeout=60)
    assert ok.returncode == 0, ok.stderr
    # The record itself names the series too.
    ok = subprocess.run([DUMP, "--verify", base + "_run.json"], capture_output=True, text=True,
                        timeout=60)
    assert ok.returncode == 0, ok.stderr

    data = bytearray(open(files[1], "rb").read())
    data[100] ^= 0x01
    open(files[1], "wb").write(bytes(data))
    bad = subprocess.run([DUMP, "--verify", files[0]], capture_output=True, text=True, timeout=60)
    assert bad.returncode == 1
    assert os.path.basename(files[1]) in bad.stderr
    assert os.path.basename(files[0]) not in bad.stderr

    # The summary shows the record; the run log reads as a table.
    shown = subprocess.run([DUMP, files[0]], capture_output=True, text=True, timeout=60)
    assert "comment: made by make_series" in shown.stdout
    assert "(grid done)" in shown.stdout
    table = subprocess.run([DUMP, "--runs", str(tmp_path)], capture_output=True, text=True,
                           timeout=60)
    assert table.returncode == 0
    lines = table.stdout.splitlines()
    assert len(lines) == 3 and lines[0].startswith("start")
    assert lines[1].split()[2] == "a" and "b, with comma" in lines[2]
    # Columns line up: every row has its "ended_by" cell at the header's column.
    col = lines[0].index("ended_by")
    assert all(line[col:].startswith("grid done") for line in lines[1:])
