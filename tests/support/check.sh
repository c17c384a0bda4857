# Sourced by the shell tests: check DESCRIPTION COMMAND... runs COMMAND and
# counts and prints the outcome; check_summary prints the counts and fails
# if any check did.
passed=0
failed=0
check() {
  local what=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
    echo "ok      $what"
  else
    failed=$((failed + 1))
    echo "FAILED  $what"
  fi
}
check_summary() {
  echo "$passed passed, $failed failed"
  ((failed == 0))
}

# make_layout DIR: a run layout DIR/{executables,data,results,R} with the
# project's tables in data/, the post-processing script in R/, and in
# executables/ quarnel ($program) and the vesktor built beside it, which name
# the script's default results files. Needs $source_dir and $program.
make_layout() {
  mkdir -p "$1/executables" "$1/data" "$1/results" "$1/R"
  cp "$source_dir"/data/*.txt "$1/data/"
  cp "$source_dir/R/energy_estimator.R" "$1/R/"
  ln -s "$program" "$1/executables/quarnel"
  ln -s "$(dirname "$program")/vesktor" "$1/executables/vesktor"
}
