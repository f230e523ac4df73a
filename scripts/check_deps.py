#!/usr/bin/env python3
"""Checks that the project's build targets and includes point one way.

  check_deps.py --configure SRC_DIR   configure SRC_DIR in a temporary tree
                                      with CMake's --graphviz, then check
  check_deps.py --dot FILE [--root SRC_DIR]
                                      check a graph CMake already wrote
  check_deps.py --root SRC_DIR        check the includes alone

Fails (exit 1, naming the fault) when:
  - the targets' link graph has a cycle;
  - a target links a target of a higher floor (svrlib < lib < src < the
    center's floors < tools; FLOORS below), or of a sibling floor (the
    center's report and HTTP fronts; its SQLite and PostgreSQL backends);
  - a zq_* target has no floor;
  - with a source tree, a file includes a header of a higher or sibling
    floor (the shared integer names of lib/util/common_header.h excepted);
    so the store never includes HTTP or report code, and no file but the
    store's factory names a backend.
Exit 2 for bad arguments or a configure that fails.
"""
import os
import re
import subprocess
import sys
import tempfile

# The floors, bottom first, as (folder, rank). A file or target belongs to
# the longest folder that holds it. A floor may use a lower rank only;
# floors of the same rank are siblings and must not use each other (the
# center's report and HTTP fronts, its two store backends). The store's
# factory is a floor of its own above the backends: the only code that
# names one.
FLOORS = [
    ("svrlib", 0),
    ("lib", 1),
    ("src", 2),
    ("tools/rcenter/metrics", 3),
    ("tools/rcenter/store", 4),
    ("tools/rcenter/store/sqlite", 5),
    ("tools/rcenter/store/pg", 5),
    ("tools/rcenter/store/rc_store_factory.", 6),
    ("tools/rcenter/write", 7),
    ("tools/rcenter/mirrors", 8),
    ("tools/rcenter/report", 9),
    ("tools/rcenter/http", 9),
    ("tools/rcenter/server", 10),
    ("tools", 11),
]
RANK = dict(FLOORS)
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
    "zq_rc_metrics": "tools/rcenter/metrics",
    "zq_rc_store": "tools/rcenter/store",
    "zq_rc_sqlite": "tools/rcenter/store/sqlite",
    "zq_rc_pg": "tools/rcenter/store/pg",
    "zq_rc_store_open": "tools/rcenter/store/rc_store_factory.",
    "zq_rc_write": "tools/rcenter/write",
    "zq_rc_mirrors": "tools/rcenter/mirrors",
    "zq_rc_report": "tools/rcenter/report",
    "zq_rc_http": "tools/rcenter/http",
    "zq_rc_server": "tools/rcenter/server",
}
# The programs and the other tools' libraries: the top floor.
TOP_TARGETS = {"zq_ident", "zq_rcenter", "zq_lookup", "zq_sig", "zq_fetch", "zq_fetch_lib",
               "zq_publish", "zq_publish_lib", "zq_version_header"}
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
    if name in TOP_TARGETS:
        return "tools"
    return None  # a system or test target: not ours to place


def unplaced_targets(graph):
    names = set(graph) | {b for bs in graph.values() for b in bs}
    return ["unplaced target: %s (give it a floor in scripts/check_deps.py)" % n
            for n in sorted(names) if n.startswith("zq_") and floor_of_target(n) is None]


BACKENDS = {"tools/rcenter/store/sqlite", "tools/rcenter/store/pg"}
FACTORY = "tools/rcenter/store/rc_store_factory."


def use_fault(kind, a, fa, b, fb):
    """The fault of floor fa using floor fb, or None."""
    what = "%s (%s) -> %s (%s)" % (a, fa, b, fb) if kind == "link" else "%s includes %s (%s)" % (a, b, fb)
    if RANK[fb] > RANK[fa]:
        return "upward %s: %s" % (kind, what)
    if RANK[fb] == RANK[fa] and fb != fa:
        return "sideways %s: %s" % (kind, what)
    if fb in BACKENDS and fa not in (fb, FACTORY):
        return "backend named outside the factory: %s" % what
    return None


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
    faults += unplaced_targets(graph)
    for a in sorted(graph):
        fa = floor_of_target(a)
        for b in sorted(graph[a]):
            fb = floor_of_target(b)
            fault = fa and fb and use_fault("link", a, fa, b, fb)
            if fault:
                faults.append(fault)
    return faults


def floor_of_path(rel):
    rel = rel.replace(os.sep, "/")
    best = None
    for folder, _ in FLOORS:
        inside = rel.startswith(folder) if folder.endswith(".") else (rel == folder or rel.startswith(folder + "/"))
        if inside and (best is None or len(folder) > len(best)):
            best = folder
    return best


def source_files(root):
    for top in ("svrlib", "lib", "src", "tools"):
        for dirpath, _, files in os.walk(os.path.join(root, top)):
            for name in sorted(files):
                if name.endswith((".h", ".cpp")):
                    path = os.path.join(dirpath, name)
                    yield path, floor_of_path(os.path.relpath(path, root))


def check_includes(root):
    headers = {}
    for path, floor in source_files(root):
        if path.endswith(".h"):
            headers.setdefault(os.path.basename(path), set()).add(floor)
    faults = []
    include = re.compile(r'^\s*#\s*include\s+"([^"]+)"')
    for path, floor in source_files(root):
        with open(path, encoding="utf-8", errors="replace") as f:
            for n, line in enumerate(f, 1):
                m = include.match(line)
                if not m or m.group(1) in SHARED_HEADERS:
                    continue
                owners = headers.get(os.path.basename(m.group(1)), set())
                if not owners or floor in owners:
                    continue
                # A header found on several floors is the lowest one's.
                owner = min(owners, key=lambda o: RANK[o])
                fault = use_fault("include", "%s:%d" % (os.path.relpath(path, root), n), floor,
                                  m.group(1), owner)
                if fault:
                    faults.append(fault)
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
    if len(argv) % 2 == 0 or not ({"--configure", "--dot", "--root"} & set(args)) or set(args) - {"--configure", "--dot", "--root"}:
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
        faults = check_graph(read_graph(dot)) if dot else []
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
