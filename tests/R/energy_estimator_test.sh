#!/usr/bin/env bash
# End-to-end test of the post-processing script R/energy_estimator.R.
#
# Usage: energy_estimator_test.sh QUARNEL_PROGRAM PROJECT_SOURCE_DIR
#
# Makes a scratch run layout, lets quarnel write a small seeded results file
# and start the script itself, then checks every output; then feeds the
# script hand-made results files (NaN and infinite rows, malformed lines,
# empty and missing files). Prints "N passed, M failed" and exits non-zero
# on any failure; exits 77 (skipped) when Rscript is not installed.
set -u

program=${1:?usage: energy_estimator_test.sh QUARNEL_PROGRAM PROJECT_SOURCE_DIR}
source_dir=${2:?usage: energy_estimator_test.sh QUARNEL_PROGRAM PROJECT_SOURCE_DIR}
script="$source_dir/R/energy_estimator.R"
rows=24
seed=20261208

if ! command -v Rscript > /dev/null; then
  echo "Rscript is not installed: skipped"
  exit 77
fi

scratch=$(mktemp -d "${TMPDIR:-/tmp}/energy_estimator_test.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

source "$source_dir/tests/support/check.sh"

# Runs the script as the programs do (in R/, no arguments); keeps its
# stdout, stderr and exit status in $1/out, $1/err, $1/status.
run_script() {
  (cd "$1/R" && Rscript energy_estimator.R > "$1/out" 2> "$1/err")
  echo $? > "$1/status"
}

status_is() { [ "$(cat "$1/status")" = "$2" ]; }
status_not_zero() { [ "$(cat "$1/status")" != 0 ]; }
contains() { grep -qF -- "$2" "$1"; }
absent() { [ ! -e "$1" ]; }
no_temporaries() { ! ls "$1" | grep -q '\.tmp_'; }

# Every line of a CSV file has N fields.
fields_are() {
  awk -F, -v n="$2" 'NF != n { bad = 1 } END { exit bad }' "$1"
}

# Every field of a CSV file except the header line (and the first column
# when $2 is 1) is a finite decimal number.
all_numeric() {
  awk -F, -v skip="$2" '
    NR > 1 { for (i = 1 + skip; i <= NF; i++)
               if ($i !~ /^[-+]?[0-9]*\.?[0-9]+([eE][-+]?[0-9]+)?$/) bad = 1 }
    END { exit bad }' "$1"
}

# Expected values worked out here with awk and sort from the results file
# itself, independently of R.
column_mean() {  # FILE COLUMN
  awk -F, -v c="$2" '{ s += $c; n++ } END { printf "%.17g", s / n }' "$1"
}
column_median() {  # FILE COLUMN (the mean of the two middle values for even n)
  cut -d, -f"$2" "$1" | awk '{ printf "%.17g\n", $1 }' | sort -g |
    awk '{ v[NR] = $1 } END { if (NR % 2) printf "%.17g", v[(NR + 1) / 2];
                              else printf "%.17g", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
summary_value() {  # SUMMARY_FILE ROW_NAME HEADER_NAME
  awk -F, -v r="$2" -v h="$3" '
    NR == 1 { for (i = 1; i <= NF; i++) if ($i == h) c = i }
    $1 == r { print $c }' "$1"
}
close_to() {  # A B: equal to 1e-9 relative
  awk -v a="$1" -v b="$2" 'BEGIN { d = a - b; if (d < 0) d = -d;
    m = (b < 0 ? -b : b); exit !(a != "" && d <= 1e-9 * (m > 1e-300 ? m : 1)) }'
}

# PNG signature, an IHDR chunk with a sensible size, and more bytes than a
# plot without data has.
png_ok() {
  local f=$1
  [ -f "$f" ] || return 1
  [ "$(head -c 8 "$f" | od -An -tx1 | tr -d ' \n')" = "89504e470d0a1a0a" ] || return 1
  [ "$(head -c 16 "$f" | tail -c 4)" = "IHDR" ] || return 1
  local width height
  width=$((16#$(head -c 20 "$f" | tail -c 4 | od -An -tx1 | tr -d ' \n')))
  height=$((16#$(head -c 24 "$f" | tail -c 4 | od -An -tx1 | tr -d ' \n')))
  [ "$width" -ge 400 ] && [ "$height" -ge 300 ] && [ "$(stat -c %s "$f")" -gt 20000 ]
}

columns="mean_firm_size gini_power gini_pay power_to_pay_exponent top1_share_power top1_share_pay firm_size_exponent"
summary_header="column,count,mean,sd,q01,q10,q50,q90,q99,se_mean,mean_ci_low,mean_ci_high"
for q in q01 q10 q50 q90 q99; do summary_header="$summary_header,${q}_ci_low,${q}_ci_high"; done
summary_header="$summary_header,note"
binned_header="size_lower,size_upper,size_median,count"
for c in gini_power gini_pay top1_share_power top1_share_pay; do
  binned_header="$binned_header,${c}_q10,${c}_median,${c}_q90"
done
for c in gini_power gini_pay top1_share_power top1_share_pay; do
  binned_header="$binned_header,${c}_median_ci_low,${c}_median_ci_high"
done
binned_header="$binned_header,note"

# Every interval of a table either is "NA,NA", with its estimate named in
# the row's note, or holds its estimate. $2 is the list of
# "estimate:low:high:name" column triples, the name being what the note says.
intervals_consistent() {  # FILE TRIPLES
  awk -F, -v triples="$2" '
    NR == 1 { for (i = 1; i <= NF; i++) col[$i] = i; nt = split(triples, t, " "); next }
    {
      note = " " $col["note"] " "
      for (k = 1; k <= nt; k++) {
        split(t[k], p, ":")
        e = $col[p[1]]; lo = $col[p[2]]; hi = $col[p[3]]
        named = index(note, " " p[4] " ") > 0
        if (lo == "NA" || hi == "NA") { if (lo != hi || !named) bad = 1 }
        else if (named || !(lo + 0 <= e + 0 && e + 0 <= hi + 0)) bad = 1
      }
    }
    END { exit bad }' "$1"
}
summary_triples="mean:mean_ci_low:mean_ci_high:mean"
for q in q01 q10 q50 q90 q99; do summary_triples="$summary_triples $q:${q}_ci_low:${q}_ci_high:$q"; done
binned_triples=""
for c in gini_power gini_pay top1_share_power top1_share_pay; do
  binned_triples="$binned_triples ${c}_median:${c}_median_ci_low:${c}_median_ci_high:medians"
done

# The summary of a results file of N usable rows is well-formed and agrees
# with means and medians computed here.
check_summary() {  # SUMMARY RESULTS N LABEL
  local summary=$1 results=$2 n=$3 label=$4
  check "$label: summary header" [ "$(head -1 "$summary")" = "$summary_header" ]
  check "$label: summary has one row per column, in order" \
    [ "$(tail -n +2 "$summary" | cut -d, -f1 | tr '\n' ' ')" = "$columns " ]
  check "$label: summary has 23 fields per line" fields_are "$summary" 23
  check "$label: summary values up to the mean's interval are all numbers" \
    all_numeric <(cut -d, -f1-12 "$summary") 1
  check "$label: summary intervals hold their estimates or are noted missing" \
    intervals_consistent "$summary" "$summary_triples"
  check "$label: every count is $n" \
    [ "$(tail -n +2 "$summary" | cut -d, -f2 | sort -u)" = "$n" ]
  check "$label: quantiles are ordered" awk -F, \
    'NR > 1 && !($5 <= $6 && $6 <= $7 && $7 <= $8 && $8 <= $9) { bad = 1 } END { exit bad }' \
    "$summary"
  local i=1 c
  for c in $columns; do
    check "$label: mean of $c" \
      close_to "$(summary_value "$summary" "$c" mean)" "$(column_mean "$results" $i)"
    check "$label: median of $c" \
      close_to "$(summary_value "$summary" "$c" q50)" "$(column_median "$results" $i)"
    i=$((i + 1))
  done
}

# The binned table is well-formed, its bins are tenths of a decade that
# hold their median, and its counts add up to the usable rows.
check_binned() {  # BINNED N LABEL
  local binned=$1 n=$2 label=$3
  check "$label: binned table header" [ "$(head -1 "$binned")" = "$binned_header" ]
  check "$label: binned table has 25 fields per line" fields_are "$binned" 25
  check "$label: binned table values up to the quantiles are all numbers" \
    all_numeric <(cut -d, -f1-16 "$binned") 0
  check "$label: binned medians' intervals hold them, or are noted missing below 6 rows" \
    intervals_consistent "$binned" "$binned_triples"
  check "$label: a bin has a note exactly when it has fewer than 6 rows" \
    awk -F, 'NR > 1 && (($4 < 6) != ($25 != "")) { bad = 1 } END { exit bad }' "$binned"
  check "$label: bin counts add up to $n" \
    [ "$(awk -F, 'NR > 1 { s += $4 } END { print s }' "$binned")" = "$n" ]
  check "$label: bins are tenths of a decade holding their median" awk -F, '
    function near(a, b) { return (a - b) ^ 2 <= 1e-18 * b ^ 2 }
    NR > 1 {
      k = log($1) / log(10) * 10; r = int(k + (k < 0 ? -0.5 : 0.5))
      if (!near($1, 10 ^ (r / 10)) || !near($2, 10 ^ ((r + 1) / 10))) bad = 1
      if (!($1 <= $3 && $3 < $2) || $4 < 1) bad = 1
      for (i = 5; i <= 16; i += 3) if (!($i <= $(i + 1) && $(i + 1) <= $(i + 2))) bad = 1
    }
    END { exit bad }' "$binned"
}

# --- 1. quarnel writes a seeded results file and starts the script itself --
run=$scratch/run
make_layout "$run"
(cd "$run/executables" && OMP_NUM_THREADS=${OMP_NUM_THREADS:-2} \
   "$program" -n $rows -s $seed > "$run/program_out" 2> "$run/program_err")
program_status=$?
res=$run/results
check "quarnel -n $rows -s $seed exits 0" [ $program_status = 0 ]
check "results file has $rows rows of 7 fields" \
  bash -c '[ "$(wc -l < "$1")" = "$2" ] && awk -F, "NF != 7 { exit 1 }" "$1"' _ \
  "$res/inequality.csv" $rows
check "post-processing reported the rows read" \
  contains "$run/program_out" "inequality.csv: $rows rows read, $rows used"
check "post-processing noted the missing frontier file" \
  contains "$run/program_out" "inequality_frontier.csv: not found"
check "post-processing listed the files written" contains "$run/program_out" \
  "wrote inequality_summary.csv, inequality_binned.csv, inequality_sensitivity.csv, inequality_gini.png, inequality_top_share.png, inequality_pay_gini_vs_exponent.png, inequality_sensitivity.png, inequality_report.html"
check_summary "$res/inequality_summary.csv" "$res/inequality.csv" $rows "quarnel"
check_binned "$res/inequality_binned.csv" $rows "quarnel"
for plot in gini top_share pay_gini_vs_exponent sensitivity; do
  check "quarnel: inequality_$plot.png is a PNG with data" png_ok "$res/inequality_$plot.png"
done
check "no temporary files left in results/" no_temporaries "$res"
# The report holds the run's seed, every mean of the summary (as shown, to
# four digits, with its interval) and one inline SVG per plot.
report_ok() {  # REPORT SUMMARY SEED PLOTS
  grep -qF "<tr><td>seed</td><td>$3</td></tr>" "$1" &&
    [ "$(grep -c "^<svg " "$1")" = "$4" ] && ! grep -q "<img\|https\?:" <(sed '/^<svg /,/<\/svg>/d' "$1") &&
    awk -F, 'NR > 1 { printf "<td>%.4g [\n", $3 }' "$2" |
      while read -r cell; do grep -qF -- "$cell" "$1" || exit 1; done
}
check "quarnel: the report holds the seed, the summary's means and 4 SVG plots" \
  report_ok "$res/inequality_report.html" "$res/inequality_summary.csv" $seed 4

# --- 2. both files at once; a constant exponent gives no exponent plot ----
awk -F, 'BEGIN { OFS = "," } { $4 = "1.00000000000000e+00"; print }' \
  "$res/inequality.csv" > "$res/inequality_frontier.csv"
run_script "$run"
check "two files: exit status 0" status_is "$run" 0
check "two files: both reported" bash -c \
  'grep -qF "inequality.csv: $2 rows read" "$1" && grep -qF "inequality_frontier.csv: $2 rows read" "$1"' \
  _ "$run/out" $rows
check "frontier: the constant exponent is noted" \
  contains "$run/out" "no plot against the power-to-pay exponent: it does not vary"
check_summary "$res/inequality_frontier_summary.csv" "$res/inequality_frontier.csv" $rows \
  "frontier"
check_binned "$res/inequality_frontier_binned.csv" $rows "frontier"
for plot in gini top_share; do
  check "frontier: inequality_frontier_$plot.png is a PNG with data" \
    png_ok "$res/inequality_frontier_$plot.png"
done
check "frontier: no plot against the constant exponent" \
  absent "$res/inequality_frontier_pay_gini_vs_exponent.png"
check "frontier: sensitivity to the firm-size exponent alone, and the rest" \
  [ "$(cut -d, -f1,2 "$res/inequality_frontier_sensitivity.csv" | sed -n '1,4p' | tr '\n' ' ')" = \
    "measure,parameter mean_firm_size,firm_size_exponent mean_firm_size,rest gini_power,firm_size_exponent " ]

# Started from elsewhere, the script still finds results/ beside its R/.
(cd "$scratch" && Rscript "$run/R/energy_estimator.R" > "$scratch/elsewhere_out" 2>&1)
check "started from another directory it reads the layout's results" \
  contains "$scratch/elsewhere_out" "inequality.csv: $rows rows read"

# --- 3. rows with NaN or infinite values are counted and left out --------
nan=$scratch/nan
make_layout "$nan"
{
  head -3 "$res/inequality.csv"
  echo "nan,nan,nan,nan,nan,nan,nan"
  sed -n 4,10p "$res/inequality.csv"
  echo "1.5,2.1e-01,-nan,5.0e-01,1.0e-01,2.0e-02,3.0"
  echo "2.5,inf,3.0e-01,5.0e-01,1.0e-01,-inf,3.0"
  tail -n +11 "$res/inequality.csv"
} > "$nan/results/inequality.csv"
run_script "$nan"
check "NaN rows: exit status 0" status_is "$nan" 0
check "NaN rows: rows read and used reported" \
  contains "$nan/out" "inequality.csv: $((rows + 3)) rows read, $rows used"
check "NaN rows: left-out rows counted and the first one located" contains "$nan/out" \
  "3 rows with NaN or infinite values left out (2 with NaN, 1 with only infinite), first at line 4"
# Leaving the three rows out must give exactly the clean file's outputs.
check "NaN rows: summary equals the clean file's" \
  cmp -s "$nan/results/inequality_summary.csv" "$res/inequality_summary.csv"
check "NaN rows: binned table equals the clean file's" \
  cmp -s "$nan/results/inequality_binned.csv" "$res/inequality_binned.csv"
for plot in gini top_share pay_gini_vs_exponent; do
  check "NaN rows: inequality_$plot.png is a PNG with data" \
    png_ok "$nan/results/inequality_$plot.png"
done

# --- 4. malformed files: an error naming file and line, non-zero exit ----
bad=$scratch/bad
make_layout "$bad"
{ head -2 "$res/inequality.csv"; echo "1.5,0.2,0.3,0.5,0.1,0.02"; } > "$bad/results/inequality.csv"
run_script "$bad"
check "wrong column count: non-zero exit" status_not_zero "$bad"
check "wrong column count: error names file and line" contains "$bad/err" \
  "$bad/results/inequality.csv line 3: expected 7 comma-separated values, found 6"
check "wrong column count: no outputs written" absent "$bad/results/inequality_summary.csv"

{ head -4 "$res/inequality.csv"; echo "1.5,abc,0.3,0.5,0.1,0.02,3.0"; } > "$bad/results/inequality.csv"
run_script "$bad"
check "non-numeric text: non-zero exit" status_not_zero "$bad"
check "non-numeric text: error names file, line, column and text" contains "$bad/err" \
  "$bad/results/inequality.csv line 5, column 2 (gini_power): not a number: 'abc'"
check "non-numeric text: no outputs written" absent "$bad/results/inequality_summary.csv"

{ head -2 "$res/inequality.csv"; echo "1.5,0.2,0.3,0.5,0.1,0.02,"; } > "$bad/results/inequality.csv"
run_script "$bad"
check "empty last value: non-zero exit and line named" bash -c \
  '[ "$(cat "$1/status")" != 0 ] && grep -qF "inequality.csv line 3, column 7" "$1/err"' _ "$bad"

# A malformed file does not stop the other one from being processed.
{ head -2 "$res/inequality.csv"; echo "1,2,3"; } > "$bad/results/inequality.csv"
cp "$res/inequality_frontier.csv" "$bad/results/"
run_script "$bad"
check "one file malformed: non-zero exit" status_not_zero "$bad"
check "one file malformed: the other is still processed" \
  png_ok "$bad/results/inequality_frontier_gini.png"

# --- 5. empty and missing files are notes, not errors --------------------
empty=$scratch/empty
make_layout "$empty"
: > "$empty/results/inequality.csv"
run_script "$empty"
check "empty and missing files: exit status 0" status_is "$empty" 0
check "empty file: noted" contains "$empty/out" "inequality.csv: empty, nothing to post-process"
check "missing file: noted" contains "$empty/out" "inequality_frontier.csv: not found"
check "empty file: nothing written" absent "$empty/results/inequality_summary.csv"

# Without a program to name them, no default files: a usage message.
rm "$empty/executables/quarnel" "$empty/executables/vesktor"
run_script "$empty"
check "no program built: exit status 2 and a message" bash -c \
  '[ "$(cat "$1/status")" = 2 ] && grep -qF "energy_estimator.R: no program in $1/executables" "$1/err"' \
  _ "$empty"

# --- 6. a named output: quarnel passes its name, the script reads it -----
named=$scratch/named
make_layout "$named"
cp "$res/inequality.csv" "$named/results/inequality.csv"  # a stale default file
(cd "$named/executables" && OMP_NUM_THREADS=${OMP_NUM_THREADS:-2} \
   "$program" -n 3 -s $seed -o myrun.csv > "$named/program_out" 2> "$named/program_err")
named_status=$?
check "named output: quarnel exits 0" [ $named_status = 0 ]
check "named output: the script read the run's own file" \
  contains "$named/program_out" "myrun.csv: 3 rows read, 3 used"
check "named output: its summary written" [ -s "$named/results/myrun_summary.csv" ]
check "named output: too few rows for a sensitivity table" \
  contains "$named/program_out" "no sensitivity table: it needs 20 or more rows"
check "named output: the default file left alone" absent "$named/results/inequality_summary.csv"
# A plain name given by hand is read from ../results as well.
(cd "$named/R" && Rscript energy_estimator.R myrun.csv > "$named/out" 2> "$named/err")
check "plain name: read from ../results" contains "$named/out" "myrun.csv: 3 rows read"

# --- 7. a sweep: one summary row per point, one plot per swept setting ---
sweep=$scratch/sweep
make_layout "$sweep"
(cd "$sweep/executables" &&
   "$program" -n 6 -s $seed -o grid.csv --set firms=3000 \
     --sweep alpha=2,3.5 --sweep exponent=0.3,table > "$sweep/program_out" 2> "$sweep/program_err")
check "sweep: the program starts the script on the sweep table" \
  contains "$sweep/program_out" "grid.sweep.csv: sweep of 4 points over alpha, exponent"
check "sweep: summary has a header and one line per point" \
  [ "$(cut -d, -f1-5 "$sweep/results/grid.sweep_summary.csv" | tr '\n' ' ')" = \
    "point,file,alpha,exponent,count 0,grid.0.csv,2,0.3,6 1,grid.1.csv,2,table,6 2,grid.2.csv,3.5,0.3,6 3,grid.3.csv,3.5,table,6 " ]
for setting in alpha exponent; do
  check "sweep: plot against $setting" png_ok "$sweep/results/grid.sweep_$setting.png"
done
check "sweep: the report holds the seed, the points and 2 SVG plots" bash -c \
  'grep -qF "<tr><td>seed</td><td>$2</td></tr>" "$1" && [ "$(grep -c "^<svg " "$1")" = 2 ] &&
   grep -qF "<td>3</td><td>grid.3.csv</td><td>3.5</td><td>table</td><td>6</td>" "$1"' \
  _ "$sweep/results/grid.sweep_report.html" $seed

# --- 8. Monte Carlo error against values worked out by hand -------------
# permuted_table N M: N rows in which k = i*M mod (N+1), i = 1..N, runs
# through 1..N in a scrambled order (M coprime to N+1); column c holds k*c,
# except the mean firm size 1 + k/1000, all in the bin [1, 10^0.1). So the
# j-th smallest value of column c is j*c.
permuted_table() {
  awk -v n="$1" -v m="$2" 'BEGIN { for (i = 1; i <= n; i++) { k = (i * m) % (n + 1)
    printf "%.17g,%d,%d,%d,%d,%d,%d\n", 1 + k / 1000, 2*k, 3*k, 4*k, 5*k, 6*k, 7*k } }'
}
mc=$scratch/mc
mkdir -p "$mc"
permuted_table 40 17 > "$mc/t40.csv"
permuted_table 35 13 > "$mc/t35.csv"
Rscript "$script" "$mc/t40.csv" "$mc/t35.csv" > "$mc/out" 2> "$mc/err"
check "hand-made tables: exit status 0" [ $? = 0 ]
# With B ~ Binomial(40, p): p = 0.1: P(B <= 0) = 0.0148 <= 0.025 < P(B <= 1),
# P(B > 8) = 0.0155 <= 0.025 < P(B > 7): [X(1), X(9)]. p = 0.5: P(B <= 13) =
# 0.0192 < 0.025 < P(B <= 14) = 0.0403 and by symmetry [X(14), X(27)].
# p = 0.9 mirrors p = 0.1: [X(32), X(40)]. p = 0.01: P(B = 0) = 0.669, so
# no pair of order statistics covers the quantile with 95 %.
interval_is() {  # FILE ROW QUANTILE LOW HIGH
  [ "$(summary_value "$1" "$2" "${3}_ci_low"),$(summary_value "$1" "$2" "${3}_ci_high")" = "$4,$5" ]
}
f=$mc/t40_summary.csv
forty_rows_intervals() {
  interval_is "$f" gini_pay q10 3 27 && interval_is "$f" gini_pay q50 42 81 &&
    interval_is "$f" gini_pay q90 96 120 && interval_is "$f" firm_size_exponent q50 98 189 &&
    interval_is "$f" gini_pay q01 NA NA && interval_is "$f" gini_pay q99 NA NA
}
check "40 rows: quantile intervals are the order statistics worked out by hand" \
  forty_rows_intervals
check "40 rows: the missing intervals are noted" [ "$(summary_value "$f" gini_pay note)" = \
  "too few rows for the 95 % interval of q01 q99" ]
# 35 rows, p = 0.1: P(B = 0) = 0.9^35 = 0.02503 > 0.025, so the interval
# starts at X(1) and its top takes the rest of the 5 %: P(B > 7) = 0.01999 <=
# 0.05 - 0.02503 < P(B > 6) = 0.05518, giving [X(1), X(8)]; p = 0.9 mirrors it.
check "35 rows: a tail too heavy for 2.5 % is made up on the other side" bash -c \
  '[ "$(cut -d, -f1,15,16,19,20 "$1" | sed -n 3p)" = "gini_power,2,16,56,70" ]' _ "$mc/t35_summary.csv"
check "40 rows: binned median intervals are the same order statistics" \
  [ "$(sed -n 2p "$mc/t40_binned.csv" | cut -d, -f4,17-25)" = "40,28,54,42,81,70,135,84,162," ]
# The mean's standard error and Student t interval from R's own t.test.
set -- $(Rscript -e 'x <- read.csv(commandArgs(TRUE)[1], header = FALSE)
  for (j in c(1, 3)) { t <- t.test(x[[j]]); cat(sprintf("%.17g", c(t$stderr, t$conf.int)), "") }' "$mc/t40.csv")
agree=$#
for c in mean_firm_size gini_pay; do
  for h in se_mean mean_ci_low mean_ci_high; do
    close_to "$(summary_value "$f" $c $h)" "${1:-}" || agree=0
    shift
  done
done
check "40 rows: the mean's standard error and interval agree with t.test" [ "$agree" = 6 ]

# --- 9. paired differences between the points of a sweep ----------------
# Point 0 is 40 rows of uniform noise. Point 1 adds 0.01 to every value;
# point 2 is independent noise; point 3 has no metadata; point 4 another
# seed; point 5 holds repetitions 10 to 39 of point 0 plus 0.02.
pd=$scratch/paired
mkdir -p "$pd"
noise() {  # AWK_SEED
  awk -v s="$1" 'BEGIN { srand(s); for (i = 0; i < 40; i++) {
    for (c = 1; c <= 7; c++) printf "%s%.17g", (c > 1 ? "," : ""), (c == 1 ? 1 : 0) + rand()
    print "" } }'
}
meta() {  # FILE SEED FIRST ROWS
  printf '{\n  "first_repetition": %s,\n  "results_file_rows": %s,\n  "seed": "%s"\n}\n' \
    "$3" "$4" "$2" > "$1"
}
shift_by() { awk -F, -v d="$1" 'BEGIN { OFS = "," } { for (c = 1; c <= 7; c++) $c = sprintf("%.17g", $c + d); print }'; }
noise 3 > "$pd/t.0.csv";                         meta "$pd/t.0.json" 7 0 40
shift_by 0.01 < "$pd/t.0.csv" > "$pd/t.1.csv";   meta "$pd/t.1.json" 7 0 40
noise 4 > "$pd/t.2.csv";                         meta "$pd/t.2.json" 7 0 40
noise 5 > "$pd/t.3.csv"
noise 6 > "$pd/t.4.csv";                         meta "$pd/t.4.json" 8 0 40
tail -n +11 "$pd/t.0.csv" | shift_by 0.02 > "$pd/t.5.csv"; meta "$pd/t.5.json" 7 10 30
printf 'point,file,alpha\n' > "$pd/t.sweep.csv"
for k in 0 1 2 3 4 5; do echo "$k,t.$k.csv,$((20 + k))" >> "$pd/t.sweep.csv"; done
Rscript "$script" "$pd/t.sweep.csv" > "$pd/out" 2> "$pd/err"
check "paired sweep: exit status 0" [ $? = 0 ]
differences=$pd/t.sweep_differences.csv
difference() {  # POINT MEASURE HEADER
  awk -F, -v p="$1" -v m="$2" -v h="$3" '
    NR == 1 { for (i = 1; i <= NF; i++) if ($i == h) c = i }
    $1 == p && $4 == m { print $c }' "$differences"
}
check "paired sweep: header and one row per later point and measure" bash -c \
  '[ "$(head -1 "$1")" = "point,file,alpha,measure,pairing,rows_first,rows_point,difference,se,ci_low,ci_high,variance_ratio,note" ] &&
   [ "$(tail -n +2 "$1" | cut -d, -f1,4 | tr "\n" " ")" = "$(for k in 1 2 3 4 5; do
       for m in mean_firm_size gini_power gini_pay top1_share_power top1_share_pay; do
         printf "%s,%s " $k $m; done; done)" ]' _ "$differences"
shifted_ok() {  # POINT SHIFT PAIRS
  local m
  for m in mean_firm_size gini_power gini_pay top1_share_power top1_share_pay; do
    [ "$(difference "$1" $m pairing),$(difference "$1" $m rows_point)" = "paired,$3" ] &&
      close_to "$(difference "$1" $m difference)" "$2" &&
      close_to "$(difference "$1" $m ci_low)" "$2" && close_to "$(difference "$1" $m ci_high)" "$2" &&
      awk -v r="$(difference "$1" $m variance_ratio)" 'BEGIN { exit !(r == "Inf" || r > 1e6) }' ||
      return 1
  done
}
check "a point shifted by 0.01 differs by 0.01 with a zero-width interval" shifted_ok 1 0.01 40
check "a point holding repetitions 10 to 39 is paired over those 30" shifted_ok 5 0.02 30
check "independent noise: paired, a variance ratio near 1, the difference in its interval" \
  awk -F, '$1 == 2 && !($5 == "paired" && $12 > 0.75 && $12 < 1.33 && $10 <= $8 && $8 <= $11) { bad = 1 }
           END { exit bad }' "$differences"
# Welch's interval from R's own t.test for the point without metadata.
welch=$(Rscript -e 'a <- commandArgs(TRUE); x <- read.csv(a[1], header = FALSE)[[3]]
  y <- read.csv(a[2], header = FALSE)[[3]]; t <- t.test(y, x)
  cat(sprintf("%.17g", c(mean(y) - mean(x), t$stderr, t$conf.int)))' "$pd/t.0.csv" "$pd/t.3.csv")
welch_ok() {
  set -- $welch
  [ "$(difference 3 gini_pay pairing),$(difference 3 gini_pay variance_ratio)" = "unpaired,NA" ] &&
    close_to "$(difference 3 gini_pay difference)" "$1" && close_to "$(difference 3 gini_pay se)" "$2" &&
    close_to "$(difference 3 gini_pay ci_low)" "$3" && close_to "$(difference 3 gini_pay ci_high)" "$4"
}
check "no metadata: unpaired, with Welch's interval as t.test gives it" welch_ok
check "unpaired points say why" bash -c '[ "$(grep -c ",unpaired,.*,no metadata for t.3.csv$" "$1"),$(
  grep -c ",unpaired,.*,seeds differ (7 and 8)$" "$1")" = "5,5" ]' _ "$differences"
check "paired sweep: plot with the differences" png_ok "$pd/t.sweep_alpha.png"

# --- 10. sensitivity indices known analytically --------------------------
# Gini of power y = x1 + 2 x2 with x1 (firm-size exponent) and x2
# (power-to-pay exponent) independent and uniform: the first-order indices
# are Var(x1) / Var(y) = 1/5 and 4/5, the rest 0. The Gini of pay is
# independent noise: indices 0, rest 1.
sens=$scratch/sens
mkdir -p "$sens"
awk 'BEGIN { srand(11); for (i = 0; i < 2000; i++) { a = rand(); b = rand()
  printf "%.17g,%.17g,%.17g,%.17g,%.17g,%.17g,%.17g\n", 1 + rand(), a + 2 * b, rand(), b, rand(), rand(), a } }' \
  > "$sens/s.csv"
Rscript "$script" "$sens/s.csv" > "$sens/out" 2> "$sens/err"
check "sensitivity: exit status 0 and the plot written" png_ok "$sens/s_sensitivity.png"
check "sensitivity: the true indices lie within the reported intervals" awk -F, '
  BEGIN { want["gini_power,firm_size_exponent"] = 0.2; want["gini_power,power_to_pay_exponent"] = 0.8
          want["gini_power,rest"] = 0; want["gini_pay,firm_size_exponent"] = 0
          want["gini_pay,power_to_pay_exponent"] = 0; want["gini_pay,rest"] = 1 }
  ($1 "," $2) in want { k = $1 "," $2; seen++
    if (!($4 <= want[k] && want[k] <= $5 && $5 - $4 < 0.2)) bad = 1 }
  END { exit bad || seen != 6 }' "$sens/s_sensitivity.csv"
check "sensitivity: rows, groups and resamples stated" \
  [ "$(sed -n 2p "$sens/s_sensitivity.csv" | cut -d, -f6-8)" = "2000,44,200" ]

# --- 8. a results file is checked against its run's metadata -----------
meta=$scratch/meta
make_layout "$meta"
cp "$res/inequality.csv" "$res/inequality.json" "$meta/results/"
sed -i '1s/^[0-9]/9/' "$meta/results/inequality.csv"
run_script "$meta"
check "a changed file: non-zero exit, nothing written" bash -c \
  '[ "$(cat "$1/status")" = 1 ] && [ ! -e "$1/results/inequality_summary.csv" ]' _ "$meta"
check "a changed file: its SHA-256 named" contains "$meta/err" \
  "$meta/results/inequality.csv: does not match its metadata $meta/results/inequality.json: SHA-256 "
head -n 2 "$res/inequality.csv" >> "$meta/results/inequality.csv"
run_script "$meta"
check "a longer file: its rows named" contains "$meta/err" \
  "inequality.csv: does not match its metadata $meta/results/inequality.json: rows $((rows + 2)), the metadata records $rows"
check "a file without metadata: one warning line, processed" bash -c \
  '[ "$(grep -c "warning: .*inequality.csv: no metadata inequality.json" "$1/err")" = 1 ] &&
   [ "$(cat "$1/status")" = 0 ]' _ "$nan"

# --- 9. any name reaches the script; a closed pipe stops only the notes --
names=$scratch/names
make_layout "$names"
(cd "$names/executables" && "$program" -n 3 -s $seed -o -x.csv > "$names/out" 2> "$names/err" &&
   "$program" -n 3 -s $seed --output=--help.csv >> "$names/out" 2>> "$names/err")
check "a name like an option: read as a results file" bash -c \
  'grep -qF -- "-x.csv: 3 rows read" "$1/out" && grep -qF -- "--help.csv: 3 rows read" "$1/out" &&
   [ -z "$(grep -v "^run cost: " "$1/err")" ] && [ -s "$1/results/--help_summary.csv" ]' _ "$names"
rm -f "$names"/results/*_*
mkfifo "$scratch/fifo"
(exec 3<> "$scratch/fifo" 4> "$scratch/fifo" 3<&-
 cd "$names/R" && Rscript energy_estimator.R -- -x.csv >&4 2> "$names/err")
echo $? > "$names/status"
check "stdout a pipe without reader: exit 0, every output written" bash -c \
  '[ "$(cat "$1/status")" = 0 ] && [ ! -s "$1/err" ] && cd "$1/results" &&
   ls -- -x_summary.csv -x_binned.csv -x_gini.png -x_top_share.png -x_pay_gini_vs_exponent.png > /dev/null' \
  _ "$names"
rm -f "$names"/results/*_*
(cd "$names/executables" && "$program" -n 3 -s $seed -o -x.csv 2> "$names/err" | head -n 9 > /dev/null)
check "quarnel | head: every output written, no note" bash -c \
  '[ -z "$(grep -v "^run cost: " "$1/err")" ] && [ -e "$1/results/-x_pay_gini_vs_exponent.png" ]' _ "$names"

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
