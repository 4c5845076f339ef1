#!/usr/bin/env python3
"""Line and branch coverage per library, from a gcovr JSON summary.

usage: tools/coverage_summary.py SUMMARY.json

Each folder of src/ is one library; the figures add up the files below it.
"""
import json
import sys


def main():
    with open(sys.argv[1]) as f:
        summary = json.load(f)
    libs = {}
    for entry in summary["files"]:
        parts = entry["filename"].replace("\\", "/").split("/")
        if len(parts) < 3 or parts[0] != "src":
            continue
        lib = libs.setdefault(parts[1], [0, 0, 0, 0])
        lib[0] += entry["line_covered"]
        lib[1] += entry["line_total"]
        lib[2] += entry["branch_covered"]
        lib[3] += entry["branch_total"]

    def pct(a, b):
        return f"{100.0 * a / b:6.1f}%" if b else "     -"

    print(f"{'library':<12}{'lines':>18}{'':>8}{'branches':>18}")
    total = [0, 0, 0, 0]
    for name in sorted(libs):
        v = libs[name]
        total = [t + x for t, x in zip(total, v)]
        print(f"{name:<12}{v[0]:>8} / {v[1]:<7}{pct(v[0], v[1])}{v[2]:>9} / {v[3]:<7}{pct(v[2], v[3])}")
    print(f"{'all':<12}{total[0]:>8} / {total[1]:<7}{pct(total[0], total[1])}"
          f"{total[2]:>9} / {total[3]:<7}{pct(total[2], total[3])}")


if __name__ == "__main__":
    main()
