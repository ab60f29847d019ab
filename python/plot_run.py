#!/usr/bin/env python3
"""Plots one channel of a run: its ADC (or TDC) spectrum at every scan
position, and the scan map of the channel's mean value.

    python3 python/plot_run.py out/demo_00001_file01.dat --channel 5 -o demo.png
"""

import argparse
import os
import sys

import numpy as np

if not os.environ.get("DISPLAY") and not os.environ.get("WAYLAND_DISPLAY"):
    import matplotlib
    matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import mdqrun  # noqa: E402


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("file", help="any file of the series (NAME_file01.dat ...)")
    ap.add_argument("--channel", type=int, default=0, help="channel 0..31 (default 0)")
    ap.add_argument("--tdc", action="store_true", help="the TDC value instead of the ADC")
    ap.add_argument("--bins", type=int, default=256)
    ap.add_argument("-o", "--output", help="save to this picture instead of showing it")
    a = ap.parse_args()

    run = mdqrun.load(a.file)
    field = "tdc" if a.tdc else "adc"
    values = run.events.channel(field, a.channel)
    pos = run.events["pos"]
    hit = values > 0  # 0: the channel had no value in that event

    fig, (ax_s, ax_m) = plt.subplots(1, 2, figsize=(13, 5))
    top = int(values.max()) + 1 if len(values) else 1
    edges = np.linspace(0, top, a.bins + 1)
    for k, p in enumerate(run.positions):
        v = values[(pos == k) & hit]
        if len(v):
            ax_s.hist(v, bins=edges, histtype="step",
                      label="x=%d y=%d (%d)" % (p["xset"], p["yset"], len(v)))
    ax_s.set_xlabel("%s channel %d" % (field.upper(), a.channel))
    ax_s.set_ylabel("events")
    ax_s.set_yscale("log")
    if len(run.positions) <= 12:
        ax_s.legend(fontsize="small")

    # Mean value per position on the x/y grid.
    h = run.header
    nx, ny = max(h.nx, 1), max(h.ny, 1)
    grid = np.full((ny, nx), np.nan)
    for k, p in enumerate(run.positions):
        v = values[(pos == k) & hit]
        if len(v) and 0 <= p["ix"] < nx and 0 <= p["iy"] < ny:
            grid[p["iy"], p["ix"]] = v.mean()
    # A step of 0 still gets cells of width 1.
    xs = h.x0 + (h.dx or 1) * (np.arange(nx + 1) - 0.5)
    ys = h.y0 + (h.dy or 1) * (np.arange(ny + 1) - 0.5)
    mesh = ax_m.pcolormesh(xs, ys, grid, shading="flat")
    fig.colorbar(mesh, ax=ax_m, label="mean %s channel %d" % (field.upper(), a.channel))
    ax_m.set_xlabel("x set-point")
    ax_m.set_ylabel("y set-point")

    title = os.path.basename(run.files[0])
    if run.record and run.record.get("comment"):
        title += " - " + run.record["comment"]
    fig.suptitle(title)
    fig.tight_layout()
    if a.output:
        fig.savefig(a.output, dpi=100)
    else:
        plt.show()


if __name__ == "__main__":
    main()
