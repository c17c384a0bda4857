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

# A run layout <p>/{executables,data,results,R} with the script in R/ and
# both programs (built beside each other) in executables/, which name the
# script's default results files.
make_layout() {
  mkdir -p "$1/executables" "$1/data" "$1/results" "$1/R"
  cp "$source_dir"/data/*.txt "$1/data/"
  cp "$script" "$1/R/"
  ln -s "$program" "$1/executables/quarnel"
  ln -s "$(dirname "$program")/vesktor" "$1/executables/vesktor"
}

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
summary_header="column,count,mean,sd,q01,q10,q50,q90,q99"
binned_header="size_lower,size_upper,size_median,count"
for c in gini_power gini_pay top1_share_power top1_share_pay; do
  binned_header="$binned_header,${c}_q10,${c}_median,${c}_q90"
done

# The summary of a results file of N usable rows is well-formed and agrees
# with means and medians computed here.
check_summary() {  # SUMMARY RESULTS N LABEL
  local summary=$1 results=$2 n=$3 label=$4
  check "$label: summary header" [ "$(head -1 "$summary")" = "$summary_header" ]
  check "$label: summary has one row per column, in order" \
    [ "$(tail -n +2 "$summary" | cut -d, -f1 | tr '\n' ' ')" = "$columns " ]
  check "$label: summary has 9 fields per line" fields_are "$summary" 9
  check "$label: summary values are all numbers" all_numeric "$summary" 1
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
  check "$label: binned table has 16 fields per line" fields_are "$binned" 16
  check "$label: binned table values are all numbers" all_numeric "$binned" 0
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
  "wrote inequality_summary.csv, inequality_binned.csv, inequality_gini.png, inequality_top_share.png, inequality_pay_gini_vs_exponent.png"
check_summary "$res/inequality_summary.csv" "$res/inequality.csv" $rows "quarnel"
check_binned "$res/inequality_binned.csv" $rows "quarnel"
for plot in gini top_share pay_gini_vs_exponent; do
  check "quarnel: inequality_$plot.png is a PNG with data" png_ok "$res/inequality_$plot.png"
done
check "no temporary files left in results/" no_temporaries "$res"

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

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
