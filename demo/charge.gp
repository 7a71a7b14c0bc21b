# The charge curve of a simulated MacBook from its history.csv
# (t,percent,ac,inhibited,asleep: one row whenever one of the last four changes).
#   gnuplot -e "history='history.csv'; output='demo.png'; limit=80" demo/charge.gp
# Above: the battery percentage over time, the stretches with charging paused shaded and
# the limit as a line. Below: when the Mac ran on its charger or on battery, and when it
# slept.

if (!exists("history")) history = "history.csv"
if (!exists("output")) output = "demo.png"
if (!exists("limit")) limit = 80

set terminal pngcairo size 1400,780 enhanced font "DejaVu Sans,13" linewidth 1.2
set output output
set datafile separator ","

stats history skip 1 using 1 nooutput
end_hours = STATS_max / 3600.0
last_row = STATS_records - 1

# Stretches of one state: run() follows one column row by row and, at the row where the
# state changes (or at the last row), sets show with the stretch that ends there: from b0
# to b1 hours in state bv. Each plot that uses it starts afresh at row 0.
r0 = 0; rv = 0; b0 = 0; b1 = 0; bv = 0; show = 0
run(i, t, v) = (i == 0 ? (r0 = t / 3600.0, rv = v, show = 0) : \
    (b0 = r0, b1 = t / 3600.0, bv = rv, show = (v != rv || i == last_row), \
     v != rv ? (r0 = t / 3600.0, rv = v) : 0), 0)
stretch(state) = show && bv == state ? (b0 + b1) / 2 : NaN

paused_colour = "#f6b26b"
curve_colour = "#1f5fa8"
limit_colour = "#c0392b"
ac_colour = "#4e9a5a"
battery_colour = "#e8a33d"
sleep_colour = "#3d3f8f"

set border 3 lc rgb "#555555"
set tics nomirror textcolor rgb "#333333"
set xrange [0:end_hours]
set xtics 0, 6 format "%g h"
set mxtics 6
set lmargin at screen 0.085
set rmargin at screen 0.975

set multiplot

# --- the charge curve ---
set tmargin at screen 0.875
set bmargin at screen 0.33
set title "tamso-helper keeps a simulated MacBook at its charge limit" font ",19" offset 0,0.8
set label 1 sprintf("two simulated days, limit %d%%: on and off the charger, a day on battery, asleep at lunch and overnight", limit) \
    at screen 0.53, screen 0.9 center font ",12" textcolor rgb "#555555"
set ylabel "battery (%)"
set yrange [0:104]
set ytics 0, 20, 100
set format x ""
set grid ytics lc rgb "#e2e2e2" lw 1 dt 1
set key at graph 0.985, graph 0.06 right bottom opaque box lc rgb "#cccccc" samplen 2.5 \
    spacing 1.25 font ",12" width 1

plot history skip 1 using (run($0, $1, $4), stretch(1)):(50):(b0):(b1):(0):(100) \
         with boxxyerror fs solid 0.38 noborder lc rgb paused_colour title "charging paused", \
     limit with lines dt (8, 6) lw 2.2 lc rgb limit_colour title sprintf("limit %d%%", limit), \
     limit - 3 with lines dt (2, 4) lw 1.8 lc rgb "#7a7a7a" title sprintf("resumes at %d%%", limit - 3), \
     history skip 1 using ($1 / 3600.0):2 with steps lw 3 lc rgb curve_colour title "battery"

# --- power and sleep ---
unset title
unset label 1
unset grid
set tmargin at screen 0.235
set bmargin at screen 0.1
set ylabel ""
set yrange [0.45:2.55]
set ytics ("asleep" 1, "power" 2) scale 0
set format x "%g h"
set xlabel "time since the daemon started" offset 0,0.3
set border 1 lc rgb "#555555"
set key at screen 0.975, screen 0.245 right bottom horizontal noopaque nobox samplen 1.5 \
    font ",12" width 1.5

plot history skip 1 using (run($0, $1, $3), stretch(1)):(2):(b0):(b1):(1.65):(2.35) \
         with boxxyerror fs solid 0.9 noborder lc rgb ac_colour title "on the charger", \
     history skip 1 using (run($0, $1, $3), stretch(0)):(2):(b0):(b1):(1.65):(2.35) \
         with boxxyerror fs solid 0.9 noborder lc rgb battery_colour title "on battery", \
     history skip 1 using (run($0, $1, $5), stretch(1)):(1):(b0):(b1):(0.65):(1.35) \
         with boxxyerror fs solid 0.9 noborder lc rgb sleep_colour title "asleep"

unset multiplot
