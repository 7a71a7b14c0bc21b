#!/usr/bin/env python3
"""Splits the heap allocations made during regulator passes between the product code
and the simulated Mac, from heaptrack's folded stacks of two runs (N and 2N passes).

An allocation belongs to whoever owns the innermost frame of its stack that is this
project's code: a product source file (src/), or a file of the simulated Mac (sim/).
So a C library call that allocates counts for the product code when the product code
made it. Only allocations made inside evaluate() are counted.
    allocation_owner.py N stacks-at-N stacks-at-2N
"""
import re
import sys

PRODUCT = {"dispatch.cpp", "reports.cpp", "main.cpp", "daemon.cpp", "regulator.cpp",
           "battery.cpp", "limit.cpp", "charge.cpp", "smc.cpp"}
SIMULATED_MAC = {"clock.cpp", "corefoundation.cpp", "io_objects.cpp", "machine_file.cpp",
                 "machine_parse.cpp", "machine_rules.cpp", "posix.cpp", "power_sources.cpp",
                 "root.cpp", "runloop.cpp", "signals.cpp", "smc_client.cpp", "system_power.cpp",
                 "testing.cpp", "timers.cpp", "trace.cpp", "world.cpp"}


def owners(path):
    counts = {"product": 0, "simulated Mac": 0, "other": 0}
    with open(path) as stacks:
        for line in stacks:
            stack, _, count = line.rstrip("\n").rpartition(" ")
            frames = stack.split(";")
            if not any(frame.startswith("evaluate(") for frame in frames):
                continue
            owner = "other"
            for frame in reversed(frames):
                found = re.search(r"\(([^()]*)\)$", frame)
                name = found.group(1) if found else ""
                if name in PRODUCT:
                    owner = "product"
                    break
                if name in SIMULATED_MAC:
                    owner = "simulated Mac"
                    break
            counts[owner] += int(count)
    return counts


def main():
    n = int(sys.argv[1])
    first, second = owners(sys.argv[2]), owners(sys.argv[3])
    parts = []
    for owner in ("product", "simulated Mac", "other"):
        per_pass = (second[owner] - first[owner]) / n
        if owner != "other" or per_pass:
            parts.append(f"{owner}: {per_pass:.1f}")
    print(", ".join(parts))


main()
