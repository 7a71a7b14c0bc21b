# The charge curve of a demo run, from the files demo/prepare.py writes into `data`
# (times in seconds of the daemon log's clock).
#   gnuplot -e "data='DIR'; output='demo.png'; limit=80; zone='UTC'; start=S; end=E" demo/charge.gp
# Above: the battery percentage on the log's clock, with the band between the limit and
# three points below it, the stretches on the charger with charging paused, each switch
# the log shows and each one it does not. Below: when the Mac ran on its charger or on
# battery, and when it slept. The legends stand to the right, clear of the curve; the
# axis reads dates and times as the log's stamps do.

if (!exists("data")) data = "."
if (!exists("output")) output = "demo.png"
if (!exists("limit")) limit = 80
if (!exists("zone")) zone = "UTC"

set terminal pngcairo size 1700,860 enhanced font "DejaVu Sans,13" linewidth 1.2
set output output
set datafile separator ","

file(name) = data . "/" . name

curve_colour = "#1f4e9c"
band_colour = "#e05a47"
paused_colour = "#9a9a9a"
paused_mark = "#b0201a"
resumed_mark = "#178a3c"
ac_colour = "#2e8b57"
battery_colour = "#f08c00"
sleep_colour = "#2c2f7a"

set border 3 lc rgb "#555555"
set tics nomirror textcolor rgb "#333333"
set xdata time
set timefmt "%s"
set xrange [start:end + 2400]
six_hours = 6 * 3600
set xtics ceil(start / six_hours) * six_hours, six_hours
set mxtics 6
set lmargin at screen 0.065
set rmargin at screen 0.71

set multiplot

# --- the charge curve ---
set tmargin at screen 0.885
set bmargin at screen 0.35
set title "tamso-helper on a simulated MacBook: limit 80 %, two days" font ",19" offset 0,1.2
set label 1 "times as in the daemon's log; asleep on the charger below the limit, the battery does not charge" \
    at screen 0.3875, screen 0.913 center font ",12" textcolor rgb "#555555"
set ylabel "battery (%)"
set yrange [45:88]
set ytics 45, 5, 85
set format x ""
set grid ytics lc rgb "#ececec" lw 1 dt 1

# The night on the charger below the limit: the line stays flat.
set label 2 "plugged in at 70 % and asleep all night:\nno charging while a limit below 100 is stored" \
    at graph 0.36, graph 0.30 center font ",12" textcolor rgb "#333333" front
set arrow 1 from graph 0.36, graph 0.38 to graph 0.40, graph 0.56 lc rgb "#555555" lw 1.2 front
set label 3 "stop: charging\nswitched on" at graph 0.985, graph 0.93 right font ",11" \
    textcolor rgb "#333333" front

set object 1 rect from start, limit - 3 to end, limit fc rgb band_colour \
    fs transparent solid 0.3 noborder behind
set key at screen 0.725, graph 1 left top Left reverse nobox samplen 2 spacing 1.5 \
    font ",12" width 1

plot file("paused.csv") skip 1 using (($1 + $2) / 2):(66):(($2 - $1) / 2):(22) \
         with boxxyerror fs transparent solid 0.35 noborder lc rgb paused_colour \
         title "charging paused, on the charger", \
     keyentry with boxes fs transparent solid 0.3 noborder lc rgb band_colour \
         title sprintf("band: pauses at %d %%, resumes at %d %% or below", limit, limit - 3), \
     file("curve.csv") skip 1 using 1:2 with steps lw 3 lc rgb curve_colour title "battery", \
     file("logged.csv") skip 1 using 1:($3 == 1 ? $2 : NaN) with points pt 11 ps 2.2 \
         lc rgb paused_mark title "logged: charging paused", \
     file("logged.csv") skip 1 using 1:($3 == 0 ? $2 : NaN) with points pt 9 ps 2.2 \
         lc rgb resumed_mark title "logged: charging resumed", \
     file("unlogged.csv") skip 1 using 1:2 with points pt 6 ps 2.2 lw 2.5 lc rgb "#111111" \
         title "not logged: pause before sleep, switch-on at stop"

# --- power and sleep ---
unset title
unset label 1
unset label 2
unset label 3
unset arrow 1
unset object 1
unset grid
set tmargin at screen 0.255
set bmargin at screen 0.135
set ylabel ""
set yrange [0.45:2.55]
set ytics ("asleep" 1, "power" 2) scale 0
set format x "%Y-%m-%d\n%H:%M"
set xlabel sprintf("clock time (%s), as in the daemon's log", zone) offset 0,-0.2
set border 1 lc rgb "#555555"
set key at screen 0.725, graph 1 left top Left reverse nobox samplen 2 spacing 1.3 \
    font ",12" width 1

plot file("power.csv") skip 1 using (($1 + $2) / 2):($3 == 1 ? 2 : NaN):(($2 - $1) / 2):(0.35) \
         with boxxyerror fs solid 0.9 noborder lc rgb ac_colour title "on the charger", \
     file("power.csv") skip 1 using (($1 + $2) / 2):($3 == 0 ? 2 : NaN):(($2 - $1) / 2):(0.35) \
         with boxxyerror fs solid 0.9 noborder lc rgb battery_colour title "on battery", \
     file("asleep.csv") skip 1 using (($1 + $2) / 2):(1):(($2 - $1) / 2):(0.35) \
         with boxxyerror fs solid 0.9 noborder lc rgb sleep_colour title "asleep"

unset multiplot
