"""Reads an mdq run file series (NAME_file01.dat, NAME_file02.dat, ...) and its
run record NAME_run.json into numpy arrays.

    import mdqrun
    run = mdqrun.load("out/demo_00001_file01.dat")
    run.header.nx, run.positions["xset"], run.events["adc"][:, 5]

The files are memory-mapped and only their record layout is walked when
loading: the event records between two position records are one strided view
into the file, so a series of many gigabytes opens at once and an event field
is read from disk when it is asked for.
"""

from __future__ import annotations

import dataclasses
import json
import os
import re

try:
    import numpy as np
except ImportError:  # an interpreter of its own (pyenv, venv) beside Debian's numpy
    import sys as _sys

    _sys.path.append("/usr/lib/python3/dist-packages")
    import numpy as np

RUNREC, ENDREC, POSREC, EVTREC = 1, 2, 3, 4
RECORD_SIZE = {RUNREC: 56, ENDREC: 12, POSREC: 36, EVTREC: 140}
NCH = 32

_RUN_DT = np.dtype([("id", "<u4"), ("len", "<u4"), ("fver", "<u4"), ("time", "<u4"),
                    ("nev", "<u4"), ("nch", "<u4"), ("ped", "<u4"), ("xy", "<u4"),
                    ("nx", "<i4"), ("x0", "<i4"), ("dx", "<i4"),
                    ("ny", "<i4"), ("y0", "<i4"), ("dy", "<i4")])
_POS_DT = np.dtype([("id", "<u4"), ("len", "<u4"), ("time", "<u4"), ("ix", "<i4"), ("x", "<i4"),
                    ("xset", "<i4"), ("iy", "<i4"), ("y", "<i4"), ("yset", "<i4")])
_EVT_DT = np.dtype([("id", "<u4"), ("len", "<u4"), ("nev", "<u4"),
                    ("tdc", "<u2", (NCH,)), ("adc", "<u2", (NCH,))])
assert _RUN_DT.itemsize == 56 and _POS_DT.itemsize == 36 and _EVT_DT.itemsize == 140

POSITION_DTYPE = np.dtype([("ix", "<i4"), ("iy", "<i4"), ("xset", "<i4"), ("yset", "<i4"),
                           ("time", "<u4")])
EVENT_DTYPE = np.dtype([("pos", "<i4"), ("nev", "<u4"),
                        ("tdc", "<u2", (NCH,)), ("adc", "<u2", (NCH,))])

# Event records are checked this many at a time when looking for the end of
# a run of them: one scan of the file in all, whatever the number of positions.
_CHUNK = 8192

_SERIES_RE = re.compile(r"^(.*)_file(\d{2,})\.dat$")


class RunFileError(Exception):
    """A damaged or cut-short run file: .path and .offset name the fault."""

    def __init__(self, path, offset, what):
        super().__init__(f"{path}: CORRUPT at byte offset {offset}: {what}")
        self.path = path
        self.offset = offset
        self.what = what


@dataclasses.dataclass(frozen=True)
class RunHeader:
    fver: int
    time: int
    nev: int
    nch: int
    ped: int
    xy: int
    nx: int
    x0: int
    dx: int
    ny: int
    y0: int
    dy: int


class Events:
    """The events of a series, in file order, as a structured array would
    present them (fields pos, nev, tdc, adc; pos indexes run.positions).

    Nothing is copied until asked for: events["adc"] reads that field of
    every event, events.position(k) is a view of one position's records, and
    np.asarray(events) builds the whole table."""

    dtype = EVENT_DTYPE

    def __init__(self, segments):
        # (position index, structured view of consecutive event records)
        self._segments = [(p, v) for p, v in segments if len(v)]
        self._len = sum(len(v) for _, v in self._segments)

    def __len__(self):
        return self._len

    @property
    def shape(self):
        return (self._len,)

    def field(self, name):
        if name == "pos":
            if not self._segments:
                return np.zeros(0, "<i4")
            return np.concatenate([np.full(len(v), p, "<i4") for p, v in self._segments])
        if name not in EVENT_DTYPE.names:
            raise KeyError(name)
        if not self._segments:
            return np.zeros((0,) + EVENT_DTYPE[name].shape, EVENT_DTYPE[name].base)
        return np.concatenate([np.asarray(v[name]) for _, v in self._segments])

    def channel(self, name, ch):
        """One channel's column of "tdc" or "adc", reading only its two bytes per event."""
        if not self._segments:
            return np.zeros(0, "<u2")
        return np.concatenate([np.asarray(v[name][:, ch]) for _, v in self._segments])

    def position(self, k):
        """The events of position k (a position split by a file roll-over is joined)."""
        parts = [v for p, v in self._segments if p == k]
        out = np.zeros(sum(len(v) for v in parts), EVENT_DTYPE)
        at = 0
        for v in parts:
            self._fill(out[at:at + len(v)], k, v)
            at += len(v)
        return out

    @staticmethod
    def _fill(out, p, v):
        out["pos"] = p
        out["nev"] = v["nev"]
        out["tdc"] = v["tdc"]
        out["adc"] = v["adc"]

    def array(self):
        out = np.zeros(self._len, EVENT_DTYPE)
        at = 0
        for p, v in self._segments:
            self._fill(out[at:at + len(v)], p, v)
            at += len(v)
        return out

    def __array__(self, dtype=None):
        a = self.array()
        return a if dtype is None else a.astype(dtype)

    def __getitem__(self, key):
        if isinstance(key, str):
            return self.field(key)
        if isinstance(key, (int, np.integer)):
            k = int(key)
            if k < 0:
                k += self._len
            if not 0 <= k < self._len:
                raise IndexError(key)
            for p, v in self._segments:
                if k < len(v):
                    row = np.zeros((), EVENT_DTYPE)
                    self._fill(row, p, v[k])
                    return row
                k -= len(v)
        return self.array()[key]

    def __iter__(self):
        for p, v in self._segments:
            for k in range(len(v)):
                row = np.zeros((), EVENT_DTYPE)
                self._fill(row, p, v[k])
                yield row

    def __repr__(self):
        return f"<mdqrun.Events: {self._len} events in {len(self._segments)} runs of records>"


class Run:
    def __init__(self, files, header, positions, events, record, complete):
        self.files = files          # paths of the series, in order
        self.header = header        # RunHeader
        self.positions = positions  # structured array, POSITION_DTYPE
        self.events = events        # Events
        self.record = record        # the run record (dict) or None
        self.complete = complete    # the last file ends with its end record

    def __repr__(self):
        return (f"<mdqrun.Run {self.files[0]}: {len(self.files)} file(s), "
                f"{len(self.positions)} positions, {len(self.events)} events>")


def series_files(path):
    """Every file of the series that `path` (any of its files) belongs to."""
    m = _SERIES_RE.match(path)
    if not m:
        return [path]
    base = m.group(1)
    out = []
    n = 1
    while True:
        f = "%s_file%02d.dat" % (base, n)
        if not os.path.exists(f):
            break
        out.append(f)
        n += 1
    if not out:
        raise FileNotFoundError(path)
    # A later file past a missing one: reading on would silently lose the gap.
    d = os.path.dirname(base) or "."
    leaf = os.path.basename(base)
    for name in os.listdir(d):
        m2 = _SERIES_RE.match(name)
        if m2 and m2.group(1) == leaf and int(m2.group(2)) > len(out):
            raise FileNotFoundError("%s is missing from the series (%s exists)"
                                    % ("%s_file%02d.dat" % (base, len(out) + 1),
                                       os.path.join(d, name)))
    return out


def record_path(path):
    m = _SERIES_RE.match(path)
    return m.group(1) + "_run.json" if m else None


def _u32(mm, off):
    return int(mm[off:off + 4].view("<u4")[0])


def _event_run_length(mm, off, size, path):
    """Number of whole, valid event records starting at `off`."""
    n = 0
    while True:
        room = (size - off) // 140
        if room == 0:
            return n
        k = min(room, _CHUNK)
        view = np.ndarray((k,), _EVT_DT, mm, off)
        good = (view["id"] == EVTREC) & (view["len"] == 140)
        if good.all():
            n += k
            off += k * 140
            continue
        first_bad = int(np.argmin(good))
        n += first_bad
        off += first_bad * 140
        # An event record with a wrong length stops the walk there with its
        # own message; anything else is the record after the run.
        if view["id"][first_bad] == EVTREC:
            raise RunFileError(path, off, "record type 4 has length %d, expected 140"
                               % int(view["len"][first_bad]))
        return n


def _walk(path, first_file, state):
    size = os.path.getsize(path)
    mm = np.memmap(path, dtype=np.uint8, mode="r") if size else np.zeros(0, np.uint8)
    off = 0
    ended = False
    while off < size:
        if ended:
            raise RunFileError(path, off, "data after the end record")
        if size - off < 8:
            raise RunFileError(path, off, "truncated record header (%d bytes left)" % (size - off))
        rid, rlen = _u32(mm, off), _u32(mm, off + 4)
        want = RECORD_SIZE.get(rid)
        if want is None:
            raise RunFileError(path, off, "unknown record type %d" % rid)
        if rlen != want:
            raise RunFileError(path, off, "record type %d has length %d, expected %d"
                               % (rid, rlen, want))
        if size - off < want:
            raise RunFileError(path, off, "truncated record type %d (%d of %d bytes)"
                               % (rid, size - off, want))
        if first_file and off == 0 and rid != RUNREC:
            raise RunFileError(path, 0, "the first file does not begin with a run header")
        if rid == RUNREC:
            if not (first_file and off == 0):
                raise RunFileError(path, off, "run header after the start of the series")
            h = np.ndarray((), _RUN_DT, mm, off)
            state["header"] = RunHeader(*(int(h[f]) for f in _RUN_DT.names[2:]))
            off += want
        elif rid == POSREC:
            p = np.ndarray((), _POS_DT, mm, off)
            state["positions"].append((int(p["ix"]), int(p["iy"]), int(p["xset"]),
                                       int(p["yset"]), int(p["time"])))
            off += want
        elif rid == EVTREC:
            n = _event_run_length(mm, off, size, path)
            state["segments"].append((len(state["positions"]) - 1,
                                      np.ndarray((n,), _EVT_DT, mm, off)))
            off += n * 140
        else:
            ended = True
            off += want
    return ended


def load(path, allow_incomplete=False):
    """Loads the series that `path` belongs to, and its run record when there
    is one. Raises RunFileError naming the file and byte offset of the first
    fault; a file without its end record (a run cut short) is refused unless
    allow_incomplete, which keeps every whole record before the cut."""
    path = os.fspath(path)
    files = series_files(path)
    state = {"header": None, "positions": [], "segments": []}
    complete = False
    for i, f in enumerate(files):
        try:
            complete = _walk(f, i == 0, state)
        except RunFileError as e:
            if not (allow_incomplete and i + 1 == len(files) and e.what.startswith("truncated")):
                raise
            complete = False
        if not complete and not allow_incomplete:
            raise RunFileError(f, os.path.getsize(f), "no end record: the file was cut short")
        if not complete and i + 1 < len(files):
            raise RunFileError(f, os.path.getsize(f), "no end record before the next file")
    positions = np.array(state["positions"], POSITION_DTYPE) if state["positions"] \
        else np.zeros(0, POSITION_DTYPE)
    record = None
    rp = record_path(path)
    if rp and os.path.exists(rp):
        with open(rp, encoding="utf-8") as fh:
            record = json.load(fh)
    return Run(files, state["header"], positions, Events(state["segments"]), record, complete)
