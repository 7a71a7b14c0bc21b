#!/usr/bin/env python3
"""Turns a demo run into what demo/charge.gp draws, on one clock: the daemon's log
times.

  demo/prepare.py MAC_ROOT DAEMON_LOG OUT_DIR

history.csv counts seconds since the daemon's run loop started; the log stamps clock
times. The first logged switch ties the two: its stamp minus the history time at which
the charge-inhibit state took the logged value is the clock time of the start. Every
other logged switch must then fall on a change of that state at its own stamp, or the
run is refused: the picture would not match the log.

Writes into OUT_DIR, times as seconds of the log's clock (its stamps read as UTC):
  curve.csv     time,percent              the battery, one row per history row
  paused.csv    from,to                   stretches on the charger with charging paused
                                          (on battery a pause changes nothing a user sees)
  power.csv     from,to,ac                stretches on the charger (1) or on battery (0)
  asleep.csv    from,to                   stretches asleep
  logged.csv    time,percent,paused       each switch the log shows
  unlogged.csv  time,percent,paused       each switch it does not show (before sleep,
                                          at the stop)
and prints the start and end times, for gnuplot.
"""

import calendar
import csv
import re
import sys
import time
from pathlib import Path

LINE = re.compile(r"^(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d) battery (\d+)%, limit (\d+)% "
                  r"-> charging (paused|resumed)$")


def clock(stamp):
  """Seconds of a log stamp, read as UTC: the log's own clock, whatever its zone."""
  return calendar.timegm(time.strptime(stamp, "%Y-%m-%d %H:%M:%S"))


def stretches(rows, value, end):
  """(from, to, value) for each run of rows with equal value(row)."""
  out = []
  for i, row in enumerate(rows):
    if i == 0 or value(row) != value(rows[i - 1]):
      out.append([row[0], None, value(row)])
      if len(out) > 1:
        out[-2][1] = row[0]
  out[-1][1] = end
  return out


def main():
  root, log_path, out = Path(sys.argv[1]), Path(sys.argv[2]), Path(sys.argv[3])
  with (root / "history.csv").open() as f:
    rows = [[int(float(v)) for v in row] for row in list(csv.reader(f))[1:]]
  # t, percent, ac, inhibited, asleep: the changes of the charge-inhibit state.
  changes = {row[0]: row for i, row in enumerate(rows) if i > 0 and row[3] != rows[i - 1][3]}

  logged = []
  for line in log_path.read_text().splitlines():
    match = LINE.match(line)
    if match:
      logged.append((clock(match[1]), int(match[2]), match[4] == "paused"))
    elif not line.startswith("tamso-helper daemon started"):
      sys.exit(f"prepare.py: a log line this demo does not draw: {line}")
  if not logged:
    sys.exit("prepare.py: the log shows no switch")

  first_stamp, _, first_paused = logged[0]
  first = next(t for t, row in sorted(changes.items()) if row[3] == first_paused)
  start = first_stamp - first
  for stamp, percent, paused in logged:
    row = changes.get(stamp - start)
    if row is None or row[3] != paused:
      sys.exit(f"prepare.py: the switch logged at {time.strftime('%F %T', time.gmtime(stamp))}"
               " is not in the history")
  logged_times = {stamp - start for stamp, _, _ in logged}

  end = rows[-1][0]

  def write(name, header, records):
    with (out / name).open("w") as f:
      f.write(header + "\n")
      for record in records:
        f.write(",".join(str(v) for v in record) + "\n")

  write("curve.csv", "time,percent", ((start + r[0], r[1]) for r in rows))
  write("paused.csv", "from,to",
        ((start + a, start + b)
         for a, b, v in stretches(rows, lambda r: r[2] == 1 and r[3] == 1, end) if v))
  write("power.csv", "from,to,ac",
        ((start + a, start + b, v) for a, b, v in stretches(rows, lambda r: r[2], end)))
  write("asleep.csv", "from,to",
        ((start + a, start + b) for a, b, v in stretches(rows, lambda r: r[4], end) if v == 1))
  write("logged.csv", "time,percent,paused", ((s, p, int(v)) for s, p, v in logged))
  write("unlogged.csv", "time,percent,paused",
        ((start + t, row[1], row[3]) for t, row in sorted(changes.items())
         if t not in logged_times))
  print(start, start + end)


if __name__ == "__main__":
  main()
