#!/usr/bin/env bash
# Libraries planted where the agent might load one must never run: neither in the service (the
# daemon, run as root) nor in root's status check. Each planted library's initialiser leaves a
# line in a marker file the moment it runs; the marker must stay empty. Each planted file is named:
# in the activity log at the start and at every cycle, and by the status check, which needs
# attention. The service runs on all the same.
#  - a bare name in a program folder the service's account (nobody, through its group) can write:
#    the system's client loads instead;
#  - a VendorLib in a user's folder;
#  - a library without the Firebird client's functions, where only root can change it: told apart
#    by its export table before it can load.
# Neither server is needed: the settings point where nothing answers.
# Usage: posix_library_test.sh PATH/TO/SrvTavrimondoClient PLANTED_CLIENT.so PLANTED_OTHER.so
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/testlib.sh"
exe_src=$1 client_so=$2 other_so=$3
[ "$(id -u)" = 0 ] || { echo "SKIP: needs root to give files other owners"; exit 77; }
work=$(mktemp -d)
chmod 755 "$work"
cleanup() {
  [ -n "${agent_pid:-}" ] && kill -KILL "$agent_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
export TAVRIMONDO_PLANTED_MARKER="$work/marker"
ran() { [ -s "$TAVRIMONDO_PLANTED_MARKER" ]; }

# case NAME VENDORLIB FOLDER_MODE PLANTED_AT SO OWNER TEXT: one row of the table. The agent's folder
# gets FOLDER_MODE (group nogroup), SO is copied to PLANTED_AT and given to OWNER; the activity log
# and the status check must name PLANTED_AT with TEXT.
case_() {
  local name=$1 vendor=$2 mode=$3 planted=$4 so=$5 owner=$6 text=$7
  echo "== $name"
  agent="$work/$name/agent"
  mkdir -p "$agent" "$(dirname "$planted")"
  cp "$exe_src" "$agent/SrvTavrimondoClient"
  printf '[Kordane]\r\nServidorCentral=\r\nServidor=127.0.0.1/1\r\nCaminho=/nao/existe/LOJA.FDB\r\nVendorLib=%s\r\n' \
    "$vendor" >"$agent/kordane.ini"
  chown root:nogroup "$agent"
  chmod "$mode" "$agent"
  cp "$so" "$planted"
  chown "$owner" "$planted"
  [ "$(dirname "$planted")" = "$agent" ] || chown "$owner" "$(dirname "$planted")"
  rm -f "$TAVRIMONDO_PLANTED_MARKER"

  # As the service: the daemon in the foreground, as root. Named at the start and again by the
  # first cycle ten seconds later.
  "$agent/SrvTavrimondoClient" >"$work/agent.out" 2>&1 &
  agent_pid=$!
  check "  the service names it at the start and at the first cycle" \
    wait_for 30 logged_times "$agent" "A biblioteca $planted não foi carregada$text" 2
  check "  the service runs on" kill -0 "$agent_pid"
  kill -TERM "$agent_pid"
  wait_exit "$agent_pid" 30
  agent_pid=
  check "  and stops cleanly" test "$rc" -eq 0
  check "  the planted code never ran in the service" bash -c "$(declare -f ran); ! ran"

  # As root's status check, plain and JSON.
  "$agent/SrvTavrimondoClient" -status >"$work/status.out" 2>&1; rc=$?
  check "  root's status check: critical (2), the service stopped" test "$rc" -eq 2
  check "  and names it" grep -qF "não foi carregada" "$work/status.out"
  "$agent/SrvTavrimondoClient" -status -json >"$work/status.json" 2>&1
  check "  as does its JSON form" \
    jq -e --arg p "$planted" '.client_library.refused | any(contains($p))' "$work/status.json" >/dev/null
  check "  the planted code never ran in the status check" bash -c "$(declare -f ran); ! ran"
  [ "$fails" -eq 0 ] || { log_text "$agent"; cat "$work/status.out"; }
}

# The mark works: loaded by hand, a planted library's initialiser writes it.
python3 -c 'import ctypes, sys; ctypes.CDLL(sys.argv[1])' "$(realpath "$other_so")"
check "a planted library leaves its mark when it loads" ran
rm -f "$TAVRIMONDO_PLANTED_MARKER"

# The service's account may write the program's folder through its group: the system's client
# loads, never the file planted beside the program.
case_ bare-name "" 0775 "$work/bare-name/agent/libfbclient.so.2" "$client_so" nobody:nogroup \
  ", pois outros usuários podem alterá-la"
check "  the system's client loaded instead" \
  test "$(jq -r .client_library.loaded "$work/status.json")" = true
# A VendorLib in a user's own folder.
case_ user-folder "$work/user-folder/home/lib/libfbclient.so.2" 0755 "$work/user-folder/home/lib/libfbclient.so.2" \
  "$client_so" nobody:nogroup ", pois outros usuários podem alterá-la"
# Root's own file in root's folder, but no Firebird client: never loaded to find that out.
case_ not-a-client "$work/not-a-client/lib/libfbclient.so.2" 0755 "$work/not-a-client/lib/libfbclient.so.2" \
  "$other_so" root:root ": não é um cliente Firebird (falta a função isc_attach_database)"
finish
