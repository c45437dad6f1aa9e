#!/usr/bin/env python3
"""Shape of the program's own sources: files over 500 lines, functions over 80 lines and the
include cycles between modules (a module is a header and the sources of the same name; module A
depends on B when a file of A includes B's header). Tests, fuzz targets and benchmarks are left
out. Usage: tools/metrics.py [--list]"""
import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DIRS = ["Application", "Runtime", "Communication", "Driver", "Platform", "Simulator"]
FILE_LIMIT = 500
FUNCTION_LIMIT = 80


def sources():
    out = []
    for d in DIRS:
        for base, _, files in os.walk(os.path.join(ROOT, d)):
            for f in files:
                if f.endswith((".cpp", ".h")):
                    out.append(os.path.relpath(os.path.join(base, f), ROOT))
    return sorted(out)


def long_files(files):
    rows = []
    for f in files:
        with open(os.path.join(ROOT, f), encoding="utf-8", errors="replace") as fh:
            n = sum(1 for _ in fh)
        if n > FILE_LIMIT:
            rows.append((n, f))
    return sorted(rows, reverse=True)


def long_functions(files):
    cmd = ["ctags", "-x", "--_xformat=%N %K %n %e %F", "--kinds-C++=f", "--fields=+ne",
           "--language-force=C++"] + files
    text = subprocess.run(cmd, cwd=ROOT, capture_output=True, text=True, check=True).stdout
    rows = []
    for line in text.splitlines():
        parts = line.split()
        if len(parts) < 5 or parts[1] != "function" or not parts[3].isdigit():
            continue
        length = int(parts[3]) - int(parts[2]) + 1
        if length > FUNCTION_LIMIT:
            rows.append((length, f"{parts[4]}:{parts[2]} {parts[0]}"))
    return sorted(rows, reverse=True)


def module_of(path):
    return os.path.splitext(path)[0]


def include_cycles(files):
    headers = {os.path.basename(f): module_of(f) for f in files if f.endswith(".h")}
    graph = {}
    for f in files:
        deps = graph.setdefault(module_of(f), set())
        with open(os.path.join(ROOT, f), encoding="utf-8", errors="replace") as fh:
            for line in fh:
                s = line.strip()
                if s.startswith("#include \""):
                    target = headers.get(os.path.basename(s.split('"')[1]))
                    if target and target != module_of(f):
                        deps.add(target)
    # Tarjan's strongly connected components, iterative enough for this size of graph.
    index, low, stack, on_stack, out = {}, {}, [], set(), []
    sys.setrecursionlimit(10000)

    def visit(v):
        index[v] = low[v] = len(index)
        stack.append(v)
        on_stack.add(v)
        for w in graph.get(v, ()):
            if w not in index:
                visit(w)
                low[v] = min(low[v], low[w])
            elif w in on_stack:
                low[v] = min(low[v], index[w])
        if low[v] == index[v]:
            comp = []
            while True:
                w = stack.pop()
                on_stack.discard(w)
                comp.append(w)
                if w == v:
                    break
            if len(comp) > 1:
                out.append(sorted(comp))

    for v in sorted(graph):
        if v not in index:
            visit(v)
    return out


def main():
    files = sources()
    show = "--list" in sys.argv
    lf, fn, cy = long_files(files), long_functions(files), include_cycles(files)
    print(f"files over {FILE_LIMIT} lines: {len(lf)}")
    if show:
        for n, f in lf:
            print(f"  {n:5} {f}")
    print(f"functions over {FUNCTION_LIMIT} lines: {len(fn)}")
    if show:
        for n, f in fn:
            print(f"  {n:5} {f}")
    print(f"include cycles between modules: {len(cy)}")
    for c in cy:
        print(f"  {len(c)} modules: " + " ".join(os.path.basename(m) for m in c))


if __name__ == "__main__":
    main()
