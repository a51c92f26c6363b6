"""What exporting a recording costs, next to simulating it.

Simulates 20 recorded days of 390 ticks over 500 instruments, then exports
the tick-grain bars to a pyarrow Table, in one process. Reports the export's
time as a fraction of the simulation's (target under 10%) and its peak extra
memory (the high-water mark of resident memory above what was resident
before the export; target under the size of the table it produces).

    python bench/export_bench.py     # needs pyarrow; Linux for the memory figure
"""

import time
from pathlib import Path

import pyarrow

import corvane

DAYS, INSTRUMENTS, TICKS = 20, 500, 390


def status(field):
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1]) * 1024
    return 0


def reset_peak():
    # Writing 5 to clear_refs resets the high-water mark (Linux 4.0 and later).
    try:
        Path("/proc/self/clear_refs").write_text("5")
        return True
    except OSError:
        return False


def main():
    engine = corvane.Engine(seed=7, universe=corvane.random_instruments(INSTRUMENTS, seed=0))
    started = time.perf_counter()
    engine.run_days(DAYS, ticks_per_day=TICKS)
    simulated = time.perf_counter() - started

    # pyarrow.table imports pandas, where installed, the first time it is
    # handed something other than a dict: a one-off cost of the process, not
    # of the export, so a small export goes first.
    small = corvane.Engine(seed=7, universe=corvane.random_instruments(1, seed=0))
    small.run_days(1, ticks_per_day=TICKS)
    pyarrow.table(small.bars())

    can_measure = reset_peak()
    resident = status("VmRSS")
    started = time.perf_counter()
    table = pyarrow.table(engine.bars())
    exported = time.perf_counter() - started
    peak_extra = status("VmHWM") - resident

    print(f"simulate {DAYS} days x {INSTRUMENTS} instruments: {simulated:.3f} s")
    print(f"export to pyarrow.table ({table.num_rows} rows): {exported:.4f} s")
    print(f"ratio: {exported / simulated:.4f} (target under 0.10)")
    if can_measure:
        print(f"peak extra memory: {peak_extra / 2**20:.1f} MiB; table: "
              f"{table.nbytes / 2**20:.1f} MiB; ratio {peak_extra / table.nbytes:.3f} "
              f"(target under 1)")


if __name__ == "__main__":
    main()
