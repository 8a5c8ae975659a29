# Sourced by the e2e scripts that run the simulator program on a private
# device root: `. "$(dirname "$0")/start_nvsim.sh"`.
#
# nvsim_root PREFIX: makes the root /tmp/PREFIX.XXXXXX ($root, the
# simulator's output in $log); on exit the simulator is stopped and both
# are removed, with the paths in $cleanup_extra.
# start_nvsim COUNT ARGUMENTS...: starts "$nvsim" --root "$root" ARGUMENTS
# in the background ($pid) and waits until it has announced COUNT entries;
# after 10 s the script fails with the simulator's output.

nvsim_root() {
  root=$(mktemp -d "/tmp/$1.XXXXXX")
  log=$root.log
  trap nvsim_cleanup EXIT
}

nvsim_cleanup() {
  [ -n "${pid:-}" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
  rm -rf "$root" "$log" ${cleanup_extra:-}
}

start_nvsim() {
  _count=$1
  shift
  "$nvsim" --root "$root" "$@" >"$log" 2>&1 &
  pid=$!
  _tries=0
  until [ "$(grep -c '\.sock' "$log" 2>/dev/null || true)" -ge "$_count" ]; do
    _tries=$((_tries + 1))
    [ $_tries -gt 100 ] && { echo "nvsim did not start:"; cat "$log"; exit 1; }
    sleep 0.1
  done
}
