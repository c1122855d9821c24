# Sourced by the demo and picture scripts.
# first_line FILE PID WHAT LOG: waits up to 10 s for the first line that a
# starting helper (PID) writes to FILE (a port, a display number) and prints
# it; fails with WHAT and the helper's LOG when it ends or names nothing.
first_line() {
  local file=$1 pid=$2 what=$3 log=$4 line=
  for _ in $(seq 1 100); do
    line=$(head -n 1 "$file" 2>/dev/null || true)
    if [[ -n "$line" ]]; then
      echo "$line"
      return 0
    fi
    if ! kill -0 "$pid" 2>/dev/null; then
      echo "$what ended at once; its log:" >&2
      cat "$log" >&2
      return 1
    fi
    sleep 0.1
  done
  echo "$what named nothing within 10 s; its log: $log" >&2
  return 1
}
