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
