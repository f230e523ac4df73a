#!/usr/bin/env python3
"""Checks that the project's build targets and includes point one way.

  check_deps.py --configure SRC_DIR   configure SRC_DIR in a temporary tree
                                      with CMake's --graphviz, then check
  check_deps.py --dot FILE [--root SRC_DIR]
                                      check a graph CMake already wrote

Fails (exit 1, naming the fault) when:
  - the targets' link graph has a cycle;
  - a target links a target of a higher floor (svrlib < lib < src < tools);
  - with a source tree, a file includes a header of a higher floor than its
    own (the shared integer names of lib/util/common_header.h excepted).
Exit 2 for bad arguments or a configure that fails.
"""
import os
import re
import subprocess
import sys
import tempfile

# The floors, bottom first; a target's floor is that of its folder.
FLOORS = ["svrlib", "lib", "src", "tools"]
TARGET_FLOORS = {
    "zq_common": "svrlib",  # the integer names, exposed alone to every floor
    "zq_svrlib": "svrlib",
    "zq_util": "lib",
    "zq_aio": "lib",
    "zq_keeper": "lib",
    "zq_cache": "lib",
    "zq_record": "src",
    "zq_app": "src",
    "zq_report": "src",
    "datareport": "src",
}
SHARED_HEADERS = {"common_header.h"}

EDGE = re.compile(r'^\s*"(node\d+)"\s*->\s*"(node\d+)"')
NODE = re.compile(r'^\s*"(node\d+)"\s*\[\s*label\s*=\s*"([^"]+)"')


def read_graph(path):
    names, edges = {}, []
    with open(path, encoding="utf-8") as f:
        for line in f:
            m = NODE.match(line)
            if m:
                names[m.group(1)] = m.group(2)
                continue
            m = EDGE.match(line)
            if m:
                edges.append((m.group(1), m.group(2)))
    graph = {}
    for a, b in edges:
        if a in names and b in names:
            graph.setdefault(names[a], set()).add(names[b])
    return graph


def floor_of_target(name):
    if name in TARGET_FLOORS:
        return TARGET_FLOORS[name]
    if name.startswith("zq_"):
        return "tools"  # zq_ident, zq_rcenter and their libraries
    return None  # a system or test target: not ours to place


def find_cycle(graph):
    state, stack = {}, []

    def visit(node):
        state[node] = 1
        stack.append(node)
        for nxt in sorted(graph.get(node, ())):
            if state.get(nxt) == 1:
                return stack[stack.index(nxt):] + [nxt]
            if nxt not in state:
                found = visit(nxt)
                if found:
                    return found
        stack.pop()
        state[node] = 2
        return None

    for node in sorted(graph):
        if node not in state:
            found = visit(node)
            if found:
                return found
    return None


def check_graph(graph):
    faults = []
    cycle = find_cycle(graph)
    if cycle:
        faults.append("cycle: " + " -> ".join(cycle))
    for a in sorted(graph):
        fa = floor_of_target(a)
        for b in sorted(graph[a]):
            fb = floor_of_target(b)
            if fa and fb and FLOORS.index(fb) > FLOORS.index(fa):
                faults.append("upward link: %s (%s) -> %s (%s)" % (a, fa, b, fb))
    return faults


def floor_of_path(rel):
    top = rel.split(os.sep)[0]
    return top if top in FLOORS else None


def check_includes(root):
    headers = {}
    for floor in FLOORS:
        for dirpath, _, files in os.walk(os.path.join(root, floor)):
            for name in files:
                if name.endswith(".h"):
                    headers.setdefault(name, set()).add(floor)
    faults = []
    include = re.compile(r'^\s*#\s*include\s+"([^"]+)"')
    for floor in FLOORS:
        for dirpath, _, files in os.walk(os.path.join(root, floor)):
            for name in sorted(files):
                if not name.endswith((".h", ".cpp")):
                    continue
                path = os.path.join(dirpath, name)
                with open(path, encoding="utf-8", errors="replace") as f:
                    for n, line in enumerate(f, 1):
                        m = include.match(line)
                        if not m or m.group(1) in SHARED_HEADERS:
                            continue
                        owners = headers.get(os.path.basename(m.group(1)), set())
                        if owners and min(FLOORS.index(o) for o in owners) > FLOORS.index(floor):
                            faults.append("upward include: %s:%d includes %s (%s)" % (
                                os.path.relpath(path, root), n, m.group(1), "/".join(sorted(owners))))
    return faults


def configure(src):
    tmp = tempfile.mkdtemp(prefix="zq-deps-")
    dot = os.path.join(tmp, "targets.dot")
    cmd = ["cmake", "-S", src, "-B", os.path.join(tmp, "build"), "-DZQ_BUILD_TESTS=OFF",
           "--graphviz=" + dot]
    done = subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    if done.returncode != 0:
        sys.stderr.write(done.stderr)
        return tmp, None
    return tmp, dot


def main(argv):
    args = dict(zip(argv[1::2], argv[2::2]))
    if len(argv) % 2 == 0 or not ({"--configure", "--dot"} & set(args)) or set(args) - {"--configure", "--dot", "--root"}:
        sys.stderr.write(__doc__)
        return 2
    tmp = None
    root = args.get("--root") or args.get("--configure")
    dot = args.get("--dot")
    try:
        if "--configure" in args:
            tmp, dot = configure(args["--configure"])
            if dot is None:
                print("check_deps: configure failed")
                return 2
        faults = check_graph(read_graph(dot))
        if root:
            faults += check_includes(root)
    finally:
        if tmp:
            subprocess.run(["rm", "-rf", tmp])
    for fault in faults:
        print("check_deps: " + fault)
    if faults:
        return 1
    print("check_deps: targets and includes point one way")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
