#!/usr/bin/env python3
"""Turns the benchmarks' output into one table, a CSV file and a chart.

    report.py OUTPUT_LOG FOLDER

Reads the lines the benchmark programs print,
    BENCH|figure|value|unit|baseline|baseline value|goal
and the lines scripts/bench adds for a row it could not run,
    BENCH-SKIPPED|figure|why
prints the table, and writes FOLDER/bench.csv, FOLDER/bench.dat, FOLDER/bench.gp
and, through gnuplot, FOLDER/bench.png.

Slowdown is how many times the baseline's cost the figure costs: value / baseline
for times, baseline / value for rates (units ending in "/s"). Below 1 the figure
beats its baseline.
"""
import csv
import os
import subprocess
import sys


def parse(log_path):
    rows = []
    with open(log_path, encoding="utf-8", errors="replace") as log:
        for line in log:
            fields = line.rstrip("\r\n").split("|")
            if fields[0] == "BENCH" and len(fields) == 7:
                figure, value, unit, baseline, base_value, goal = fields[1:]
                rows.append(row(figure, float(value), unit, baseline, float(base_value), float(goal)))
            elif fields[0] == "BENCH-SKIPPED" and len(fields) == 3:
                rows.append(row(fields[1], 0, "", "skipped: " + fields[2], 0, 0))
    return rows


def row(figure, value, unit, baseline, base_value, goal):
    measured = value > 0 and base_value > 0
    slowdown = None
    if measured:
        slowdown = base_value / value if unit.endswith("/s") else value / base_value
    verdict = ""
    if goal > 0 and measured:
        verdict = "met" if slowdown <= goal else "missed"
    elif goal > 0:
        verdict = "not measured"
    return dict(figure=figure, value=value, unit=unit, baseline=baseline, base_value=base_value,
                goal=goal, slowdown=slowdown, verdict=verdict, measured=measured)


def number(value):
    if value <= 0:
        return "-"
    if value >= 100:
        return f"{value:,.0f}"
    return f"{value:.3g}" if value < 10 else f"{value:.1f}"


def table(rows):
    header = ["figure", "value", "unit", "baseline", "baseline value", "slowdown", "goal"]
    lines = [[r["figure"], number(r["value"]), r["unit"], r["baseline"], number(r["base_value"]),
              f"{r['slowdown']:.2f}x" if r["measured"] else "-",
              (f"<= {r['goal']:g}x, {r['verdict']}" if r["goal"] > 0 else "")] for r in rows]
    widths = [max(len(h), *(len(line[i]) for line in lines)) if lines else len(h)
              for i, h in enumerate(header)]
    right = {1, 4, 5}
    def format_line(cells):
        return "  ".join(c.rjust(w) if i in right else c.ljust(w)
                         for i, (c, w) in enumerate(zip(cells, widths))).rstrip()
    out = [format_line(header), format_line(["-" * w for w in widths])]
    out += [format_line(line) for line in lines]
    return "\n".join(out)


def write_csv(rows, path):
    with open(path, "w", newline="", encoding="utf-8") as f:
        writer = csv.writer(f)
        writer.writerow(["figure", "value", "unit", "baseline", "baseline value", "slowdown", "goal", "verdict"])
        for r in rows:
            writer.writerow([r["figure"], f"{r['value']:g}" if r["measured"] else "", r["unit"], r["baseline"],
                             f"{r['base_value']:g}" if r["measured"] else "",
                             f"{r['slowdown']:.4f}" if r["measured"] else "",
                             f"{r['goal']:g}" if r["goal"] > 0 else "", r["verdict"]])


# Bars run from 1 (as fast as the baseline) to the slowdown, on a log scale: green
# within the goal (the black mark), red beyond it, blue where no goal is set. A row
# that was not measured keeps its place, with the reason instead of a bar.
GNUPLOT = """\
set terminal pngcairo size 1400,{height} font "DejaVu Sans,12" noenhanced
set output "{png}"
set datafile separator "\\t"
set title "Each figure beside its baseline, measured in the same run" font ",15"
set xlabel "slowdown against the baseline (log scale; left of 1: faster than the baseline)"
set logscale x
set xrange [{xmin}:{xmax}]
set yrange [-0.7:{ymax}]
set xtics nomirror ({xtics})
set ytics nomirror scale 0
set grid xtics
set key off
set border 3
set style fill solid 0.85 noborder
set arrow from 1, graph 0 to 1, graph 1 nohead lw 2 lc rgb "#444444"
plot "{dat}" using ($2 > 0 ? sqrt($2) : 1/0):0:($2 < 1 ? $2 : 1):($2 < 1 ? 1 : $2):($0-0.32):($0+0.32):(int($4)):ytic(1) \\
         with boxxyerror lc rgb variable, \\
     "" using ($3 > 0 ? $3 : 1/0):($0-0.4):(0):(0.8) with vectors nohead lw 3 lc rgb "#222222", \\
     "" using ($2 <= 0 ? 1.06 : $2 > $3 ? $2 * 1.06 : $3 * 1.06):0:5 with labels left offset 0.5,0 font ",11"
"""

TICKS = [0.1, 0.2, 0.5, 1, 1.5, 2, 3, 5, 10, 20, 50, 100, 200, 500, 1000, 2000, 5000]


def draw(rows, folder):
    if not any(r["measured"] for r in rows):
        return None
    dat = os.path.join(folder, "bench.dat")
    with open(dat, "w", encoding="utf-8") as f:
        for r in reversed(rows):
            colour = 0x3a7dc9 if r["goal"] <= 0 else 0x3c9a4b if r["verdict"] == "met" else 0xd0413a
            label = f"{r['figure']}\\nvs {r['baseline']}"
            if r["measured"]:
                text = f"{r['slowdown']:.2f}x   {number(r['value'])} vs {number(r['base_value'])} {r['unit']}"
                text += f", goal {r['goal']:g}x" if r["goal"] > 0 else ""
            else:
                text = r["baseline"] if r["baseline"].startswith("skipped") else "not measured"
                label = r["figure"]
            f.write(f"{label}\t{r['slowdown'] or 0:.6g}\t{r['goal']:g}\t{colour}\t{text}\n")
    values = [r["slowdown"] for r in rows if r["measured"]] + [r["goal"] for r in rows if r["goal"] > 0] + [1]
    xmin, xmax = min(values) / 1.6, max(values) * 7
    png = os.path.join(folder, "bench.png")
    script = GNUPLOT.format(height=140 + 70 * len(rows), png=png, dat=dat, xmin=xmin, xmax=xmax,
                            ymax=len(rows) - 0.3,
                            xtics=", ".join(f'"{t:g}" {t:g}' for t in TICKS if xmin <= t <= xmax))
    gp = os.path.join(folder, "bench.gp")
    with open(gp, "w", encoding="utf-8") as f:
        f.write(script)
    subprocess.run(["gnuplot", gp], check=True)
    return png


NOTES = """\
slowdown: the figure's cost over its baseline's (for rates, the baseline's rate over the figure's).
goals: the folder list within 1.5x of the stand-in's own walk, the mail list and saves within 1.5x of
the stand-in's own reads and copies, the tunnel within reach of the bare exchange of its event calls;
each of the list, save and restore within 1.2x of the calls the design prescribes for it, made directly
in the same host, and no more object-model calls a mail than those (within 1%: a request makes a few once)."""


def main():
    log_path, folder = sys.argv[1:3]
    rows = parse(log_path)
    print(table(rows))
    print(NOTES)
    csv_path = os.path.join(folder, "bench.csv")
    write_csv(rows, csv_path)
    png = draw(rows, folder)
    print(f"\nCSV: {csv_path}\nchart: {png or 'none (nothing measured)'}")


if __name__ == "__main__":
    main()
