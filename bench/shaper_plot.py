#!/usr/bin/python3
"""Draws the shaper benchmark's throughput per 10 ms around LIMIT.

shaper_plot.py DATA.csv OUT.png LIMIT_KBPS

One row per flow, the first three seconds after LIMIT on the left and a steady
second on the right, Kestrune against the kernel's policer, the limit as a line.
TCP hands data to the application in bursts when a retransmission fills a gap,
so its rows use a scale that is linear up to the limit and logarithmic above.
"""
import csv
import sys
from collections import defaultdict

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402


def main():
    data, png, limit = sys.argv[1], sys.argv[2], float(sys.argv[3])
    series = defaultdict(list)
    flows = []
    with open(data, newline="") as source:
        for row in csv.DictReader(source):
            if row["flow"] not in flows:
                flows.append(row["flow"])
            series[(row["flow"], row["limiter"])].append((int(row["ms"]), float(row["kBps"])))
    limiters = sorted({limiter for _, limiter in series}, key=lambda name: name != "Kestrune")

    spans = [("the first three seconds after LIMIT", 0, 3000), ("a steady second", 3400, 4400)]
    ceiling = 4 * limit / 1000
    figure, axes = plt.subplots(len(flows), 2, figsize=(13, 3.6 * len(flows)), squeeze=False,
                                gridspec_kw={"width_ratios": [3, 1]})
    for row, flow in enumerate(flows):
        for column, (title, start, end) in enumerate(spans):
            axis = axes[row][column]
            for limiter in limiters:
                points = [(ms, rate) for ms, rate in series[(flow, limiter)] if start <= ms < end]
                axis.step([ms / 1000 for ms, _ in points], [rate / 1000 for _, rate in points], where="post",
                          label=limiter, linewidth=1)
            axis.axhline(limit / 1000, color="black", linestyle="--", linewidth=1, label="limit")
            axis.set_xlim(start / 1000, end / 1000)
            if "TCP" in flow:
                axis.set_yscale("symlog", linthresh=limit / 1000)
                axis.set_ylim(bottom=0)
            else:
                axis.set_ylim(0, ceiling)
            axis.set_title(f"{flow}: {title}", fontsize=10)
            axis.set_xlabel("seconds after LIMIT")
            if column == 0:
                axis.set_ylabel("MB/s per 10 ms" + ("" if "TCP" in flow else f" (cut at {ceiling:.0f})"))
            axis.grid(alpha=0.3)
    axes[0][0].legend(loc="upper right", fontsize=8)
    figure.suptitle(f"Throughput per 10 ms at a limit of {limit:.0f} KB/s (application payload)", fontsize=11)
    figure.tight_layout()
    figure.savefig(png, dpi=100)


if __name__ == "__main__":
    main()
