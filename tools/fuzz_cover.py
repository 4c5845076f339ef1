#!/usr/bin/env python3
"""Picks a small seed corpus that keeps every coverage edge of a larger one.

usage: tools/fuzz_cover.py CONTROL_FILE OUT_DIR [BUDGET_BYTES]

CONTROL_FILE comes from a libFuzzer merge over the large corpus, for example
  build-fuzz/fuzz/decoder_fuzz -merge=1 -merge_control_file=ctl scratch/ fuzz/corpus/decoder \
      build-fuzz/fuzz-corpus/decoder
libFuzzer's own merge keeps every input that adds a feature (edge hit counts included), which
for the decoder is megabytes. This picks inputs greedily by new edges per byte, within
BUDGET_BYTES in all when given, then drops any whose edges the others all cover. The chosen
inputs are copied to OUT_DIR under their content hashes.
"""
import hashlib
import heapq
import os
import shutil
import sys


def main():
    control, out_dir = sys.argv[1], sys.argv[2]
    budget = int(sys.argv[3]) if len(sys.argv) > 3 else None
    with open(control) as f:
        lines = f.read().splitlines()
    count = int(lines[0])
    paths = lines[2:2 + count]
    edges = {}
    for line in lines[2 + count:]:
        if line.startswith("COV "):
            parts = line.split()
            edges[int(parts[1])] = set(map(int, parts[2:]))
    size = {i: os.path.getsize(paths[i]) for i in edges}
    # Lazy greedy: a heap of gains per byte that are only ever too high, refreshed when popped.
    heap = [(-len(edges[i]) / (size[i] + 64), size[i], i) for i in edges]
    heapq.heapify(heap)
    covered, chosen, spent = set(), [], 0
    while heap:
        _, _, i = heapq.heappop(heap)
        gain = len(edges[i] - covered)
        if gain == 0 or (budget is not None and spent + size[i] > budget):
            continue
        score = -gain / (size[i] + 64)
        if heap and score > heap[0][0]:
            heapq.heappush(heap, (score, size[i], i))
            continue
        covered |= edges[i]
        chosen.append(i)
        spent += size[i]
    hits = {}
    for i in chosen:
        for e in edges[i]:
            hits[e] = hits.get(e, 0) + 1
    kept = []
    for i in sorted(chosen, key=lambda i: -size[i]):  # largest first
        if all(hits[e] > 1 for e in edges[i]):
            for e in edges[i]:
                hits[e] -= 1
        else:
            kept.append(i)
    os.makedirs(out_dir, exist_ok=True)
    total = 0
    for i in kept:
        with open(paths[i], "rb") as f:
            data = f.read()
        total += len(data)
        shutil.copyfile(paths[i], os.path.join(out_dir, hashlib.sha1(data).hexdigest()))
    print(f"{len(kept)} inputs, {total} bytes, {len(covered)} edges")


if __name__ == "__main__":
    main()
