#!/usr/bin/env python3
"""Python objects: replikon against copy.deepcopy and pickle.

The balanced tree of the C++ graph benchmark (depth 14, 16,383 nodes) as a
dataclass with a Decimal amount and a datetime, and a 100,000-deep chain of
the same nodes. Prints a Markdown table of microseconds of thread CPU time
per object, each the median of several interleaved rounds
(REPLIKON_BENCH_RUNS, 5 by default).

    PYTHONPATH=build/python python3 bench/python_bench.py
"""

import copy
import dataclasses
import datetime
import decimal
import gc
import os
import pickle
import statistics
import sys
import time
from typing import Optional

import replikon


@replikon.persistent
@dataclasses.dataclass
class Node:
    number: int = 0
    name: str = ""
    ratio: float = 0.0
    amount: decimal.Decimal = decimal.Decimal("0")
    when: datetime.datetime = datetime.datetime(2000, 1, 1)
    left: Optional["Node"] = None
    right: Optional["Node"] = None


def make_tree(depth, counter):
    if depth <= 0:
        return None
    counter[0] += 1
    n = counter[0]
    node = Node(
        number=n,
        name="node %d" % n,
        ratio=n / 7.0,
        amount=decimal.Decimal(n) / 100,
        when=datetime.datetime(2020, 1, 1 + n % 28, n % 24, n % 60, n % 60),
    )
    node.left = make_tree(depth - 1, counter)
    node.right = make_tree(depth - 1, counter)
    return node


def make_chain(length):
    head = None
    for n in range(length, 0, -1):
        head = Node(number=n, name="node %d" % n, ratio=n / 7.0,
                    amount=decimal.Decimal(n) / 100,
                    when=datetime.datetime(2020, 1, 1), left=head)
    return head


def cell(action, objects):
    """Thread CPU time of one run in µs per object, or None for RecursionError."""
    gc.collect()  # each cell starts with the same garbage: none
    try:
        start = time.thread_time()
        action()
        return (time.thread_time() - start) / objects * 1e6
    except RecursionError:
        return None


def shown(times):
    if any(t is None for t in times):
        return "RecursionError"
    return "%.2f" % statistics.median(times)


def main():
    runs = int(os.environ.get("REPLIKON_BENCH_RUNS", "5"))
    control = replikon.Replikon()
    control.object_server_name = __name__
    control.raise_recursion_check_event = False

    tree = make_tree(14, [0])
    tree_count = 2**14 - 1
    chain_count = 100_000
    chain = make_chain(chain_count)

    def replikon_round_trip(root):
        return lambda: control.object_from_stream(control.stream_from_object(root))

    def pickle_round_trip(root):
        protocol = pickle.HIGHEST_PROTOCOL
        return lambda: pickle.loads(pickle.dumps(root, protocol))

    graphs = (("tree of 16,383 nodes", tree, tree_count),
              ("chain 100,000 deep", chain, chain_count))
    columns = (
        lambda root: lambda: control.copy(root),
        lambda root: lambda: copy.deepcopy(root),
        replikon_round_trip,
        pickle_round_trip,
    )
    # Rounds interleaved, so that a change of the machine's load touches
    # every cell alike; each cell is the median of its rounds.
    times = {(g, c): [] for g in range(len(graphs)) for c in range(len(columns))}
    for _ in range(runs):
        for g, (_, root, count) in enumerate(graphs):
            for c, make in enumerate(columns):
                times[(g, c)].append(cell(make(root), count))

    rows = []
    for g, (label, root, count) in enumerate(graphs):
        stream_bytes = len(control.stream_from_object(root)) / count
        try:
            pickle_bytes = "%.0f" % (len(pickle.dumps(root, pickle.HIGHEST_PROTOCOL)) / count)
        except RecursionError:
            pickle_bytes = "—"
        rows.append((label,) + tuple(shown(times[(g, c)]) for c in range(len(columns))) +
                    ("%.0f / %s" % (stream_bytes, pickle_bytes),))

    print("Python %s; µs of thread CPU time per object, median of %d interleaved rounds;"
          " load average %s" %
          (sys.version.split()[0], runs, "%.2f %.2f %.2f" % os.getloadavg()))
    print("(copy.deepcopy and pickle raise RecursionError on the chain.)")
    print()
    print("| graph | `copy()` | `copy.deepcopy` | Stream round trip | pickle round trip |"
          " bytes per object (Stream / pickle) |")
    print("|---|---:|---:|---:|---:|---:|")
    for row in rows:
        print("| %s | %s | %s | %s | %s | %s |" % row)
    tree_cells = [statistics.median(times[(0, c)]) for c in range(len(columns))]
    print()
    print("On the tree: copy() %.1f× faster than copy.deepcopy; the Stream round trip %.2f×"
          " pickle's time." % (tree_cells[1] / tree_cells[0], tree_cells[2] / tree_cells[3]))


if __name__ == "__main__":
    main()
