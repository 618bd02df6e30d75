#!/usr/bin/env bash
# The main job. Builds vigilond and vgctl, starts the service on its
# embedded defaults in a folder of its own (registry file, settings file,
# PNASRes.dll, database and an administrator with a generated password, all
# made at first start) and talks to it with vgctl.
#
#   scripts/run.sh               plays a short scene in a temporary folder,
#                                printing each step and its answer, then stops
#                                the service and removes the folder
#   scripts/run.sh vgctl ARGS    runs one vgctl command against a service kept
#                                in build/demo (its lists survive between runs),
#                                inside a management session of its own
#                                (VGCTL_SESSION), so --session can be left out
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
bash scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default --target vigilond vgctl -j "$(nproc)" >/dev/null
vigilond=$root/build/default/service/vigilond
vgctl=$root/build/default/vgctl

pid=""
stop_service() {
  [ -n "$pid" ] || return 0
  kill -TERM "$pid" 2>/dev/null || true
  local status=0
  wait "$pid" || status=$?
  pid=""
  return $status
}

# start_service DIR: the first start makes what is missing under DIR;
# returns once both pipes listen.
start_service() {
  local dir=$1
  export VIGILON_PIPE_DIR=$dir/pipes VIGILON_REGISTRY=$dir/registry.reg
  mkdir -p "$VIGILON_PIPE_DIR"
  if [ ! -s "$dir/admin-password" ]; then
    (umask 077; head -c 18 /dev/urandom | base64 | tr -d '/+=' > "$dir/admin-password")
    "$vigilond" --state-dir "$dir/state" --add-admin admin < "$dir/admin-password" 2>/dev/null
  fi
  "$vigilond" --state-dir "$dir/state" 2>>"$dir/vigilond.log" &
  pid=$!
  for _ in $(seq 200); do
    [ -S "$VIGILON_PIPE_DIR/W.A.R.D.E.N." ] && [ -S "$VIGILON_PIPE_DIR/Quartermast" ] && return 0
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  echo "vigilond did not start; its log:" >&2
  cat "$dir/vigilond.log" >&2
  exit 1
}

open_session() {
  VGCTL_USER=admin VGCTL_PASSWORD=$(cat "$1/admin-password") VGCTL_TEXT3=run.sh \
    "$vgctl" session open | sed -n 's/^session=//p'
}

if [ "${1:-}" = "vgctl" ]; then
  shift
  dir=$root/build/demo
  mkdir -p "$dir"
  trap 'stop_service || true' EXIT
  start_service "$dir"
  session=$(open_session "$dir")
  status=0
  VGCTL_SESSION=$session "$vgctl" "$@" || status=$?
  "$vgctl" session end "$session" >/dev/null || true
  stop_service || true
  exit $status
elif [ $# -gt 0 ]; then
  echo "usage: scripts/run.sh [vgctl ARGUMENTS]" >&2
  exit 2
fi

dir=$(mktemp -d /tmp/vigilon-run.XXXXXX)
trap 'stop_service || true; rm -rf "$dir"' EXIT

# step TEXT VGCTL-ARGUMENTS...: prints the step, the command and its answer.
step() {
  local text=$1
  shift
  printf '\n== %s\n$ vgctl %s\n' "$text" "$*"
  "$vgctl" "$@" | sed 's/^/  /' || true
}

echo "== starting vigilond in $dir (first start: registry, settings, PNASRes.dll, database, administrator)"
start_service "$dir"
ip=203.0.113.50
step "an SMTP front end asks about a new address" allow $ip --service smtp --account alice
for i in 1 2 3 4 5; do
  step "the front end reports failed logon $i of 5 from it" auth-fail alice $ip --service smtp --text "AUTH LOGIN"
done
step "it asks again: refused, the address is black-listed" allow $ip --service smtp --account alice

printf '\n== an administrator opens a session (name admin, the generated password)\n'
session=$(open_session "$dir")
echo "  session=$session"
step "the black list" list black --session "$session"
step "the administrator removes the address" remove black $ip --session "$session"
step "the front end asks again: go on" allow $ip --service smtp --account alice
step "the statistics" stats --session "$session"
step "the administrator ends the session" session end "$session"

printf '\n== stopping vigilond\n'
status=0
stop_service || status=$?
echo "  vigilond exited with status $status"
printf '\n== its log\n'
sed 's/^/  /' "$dir/vigilond.log"
exit $status
