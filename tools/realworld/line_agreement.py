#!/usr/bin/env python3
"""Line status (executed or not) of qelcc's maps and a saved run beside gcov's.

  line_agreement.py --gcov DIR --maps DIR --run RUN.jsonl [--files PATH...]
                    [--min-total PCT] [--min-file PCT] [--show N]

DIR of --gcov is searched for gcov's JSON files (*.gcov.json.gz, from
`gcov -j`). With --trees GCOV_SRC QEL_SRC, two copies of an in-source build
are compared: gcov's paths under GCOV_SRC read as under QEL_SRC. A line counts where both gcov and the maps call it code; a map's
line count is the largest count of the nodes listing it, summed over units
(as the collector counts). Prints per file and in total how many of those
lines agree, and the lines that differ. Exit status 1 when the total share is
below --min-total or a file's below --min-file.
"""
import argparse
import glob
import gzip
import json
import os
import sys


def gcov_lines(root, wanted, trees):
    lines = {}
    for p in glob.glob(os.path.join(root, "**", "*.gcov.json.gz"), recursive=True):
        doc = json.load(gzip.open(p))
        cwd = doc.get("current_working_directory", "")
        for f in doc["files"]:
            path = os.path.realpath(os.path.join(cwd, f["file"]))
            if trees and path.startswith(trees[0] + "/"):
                path = trees[1] + path[len(trees[0]):]
            if wanted and path not in wanted:
                continue
            for l in f["lines"]:
                k = (path, l["line_number"])
                lines[k] = lines.get(k, 0) + l["count"]
    return lines


def qel_lines(maps, run, wanted):
    counts = {}
    for line in open(run):
        m = json.loads(line)
        if m.get("kind") == "node":
            k = (m["unit"], m["node"])
            counts[k] = counts.get(k, 0) + m["count"]
    lines = {}
    for p in glob.glob(os.path.join(maps, "*.qelmap.json")):
        d = json.load(open(p))
        files = {f["id"]: os.path.realpath(f["path"]) for f in d.get("files", [])}
        unit = {}
        for n in d.get("nodes", []):
            path = files[n["file"]]
            if wanted and path not in wanted:
                continue
            c = counts.get((d["unit"], n["id"]), 0)
            for l in n["lines"] or [n["line"]]:
                k = (path, l)
                unit[k] = max(unit.get(k, 0), c)
        for k, c in unit.items():
            lines[k] = lines.get(k, 0) + c
    return lines


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--gcov", required=True)
    ap.add_argument("--maps", required=True)
    ap.add_argument("--run", required=True)
    ap.add_argument("--files", nargs="*", default=[])
    ap.add_argument("--min-total", type=float, default=0.0)
    ap.add_argument("--min-file", type=float, default=0.0)
    ap.add_argument("--show", type=int, default=20)
    ap.add_argument("--trees", nargs=2, default=None)
    a = ap.parse_args()
    wanted = {os.path.realpath(f) for f in a.files}
    trees = [os.path.realpath(t) for t in a.trees] if a.trees else None
    gcov = gcov_lines(a.gcov, wanted, trees)
    qel = qel_lines(a.maps, a.run, wanted)
    both = sorted(set(gcov) & set(qel))
    agree = [k for k in both if (gcov[k] > 0) == (qel[k] > 0)]
    ok = True
    for f in sorted({k[0] for k in both}):
        g = [k for k in gcov if k[0] == f]
        q = [k for k in qel if k[0] == f]
        b = [k for k in both if k[0] == f]
        n = sum(1 for k in b if (gcov[k] > 0) == (qel[k] > 0))
        share = 100.0 * n / max(1, len(b))
        ok = ok and share >= a.min_file
        print(f"{os.path.basename(f):24s} gcov code lines {len(g):5d} "
              f"(executed {sum(1 for k in g if gcov[k] > 0)}), qelcc code lines {len(q):5d} "
              f"(executed {sum(1 for k in q if qel[k] > 0)}), both {len(b)}, agree {n} "
              f"({share:.2f} %)")
    share = 100.0 * len(agree) / max(1, len(both))
    ok = ok and share >= a.min_total
    print(f"line status agreement: {len(agree)} of {len(both)} lines ({share:.2f} %)")
    for k in [k for k in both if (gcov[k] > 0) != (qel[k] > 0)][:a.show]:
        print(f"  differs: {os.path.basename(k[0])}:{k[1]} gcov {gcov[k]} qelcc {qel[k]}")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
