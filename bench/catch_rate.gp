# Catch rate against file lifetime for every subject of the benchmark.
# gnuplot -e "data='catch_rate.dat'; out='catch-rate.svg'" catch_rate.gp
# (run by bench/run.sh, which draws doc/catch-rate.svg,
# doc/pattern-catch-rate.svg and doc/tree-catch-rate.svg; heading= sets
# another title)
if (!exists("heading")) heading = "Share of short-lived files caught"
set terminal svg size 720,420 dynamic font "sans,13" background "white"
set output out
set title heading
set xlabel "file lifetime (ms)"
set ylabel "caught (%)"
set logscale x
set xtics (0.01, 0.2, 0.5, 1, 2, 5)
set yrange [-5:105]
set key bottom right
set grid
# A column per subject, however many.
stats data using 1 nooutput
plot for [column=2:STATS_columns] data using 1:column with linespoints linewidth 2 pointsize 1.2 title columnhead(column)
