# Helpers for the shell-level tests of the agent's executable.
fails=0
pass() { echo "ok - $*"; }
fail() { echo "FAILED - $*"; fails=$((fails + 1)); }
check() {  # check "description" command...
  local what=$1; shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}
# The month's activity log of a folder, as UTF-8 text: the Linux agent writes UTF-8, the Windows
# one Windows-1252.
log_text() {
  local f
  for f in "$1"/Tavrimondo_*.LOG; do
    [ -f "$f" ] || continue
    if iconv -f UTF-8 -t UTF-8 "$f" >/dev/null 2>&1; then cat "$f"; else iconv -f CP1252 -t UTF-8 "$f"; fi
  done | tr -d '\r'
}
log_lines() { log_text "$1" | grep -c . || true; }
# The text of the last line of the log, without its time stamp.
last_logged() { log_text "$1" | tail -n1 | sed 's/^[0-9/]* [0-9:]* - //'; }
logged() { log_text "$1" | grep -qF -- "$2"; }  # logged DIR TEXT
wait_for() {  # wait_for SECONDS command...
  local deadline=$((SECONDS + $1)); shift
  until "$@"; do
    [ $SECONDS -ge $deadline ] && return 1
    sleep 0.1
  done
}
finish() {
  if [ "$fails" -eq 0 ]; then echo "all checks passed"; exit 0; fi
  echo "$fails check(s) failed"; exit 1
}
# wait_exit PID [SECONDS]: waits for a child to end, at most SECONDS (default 15); sets rc to its exit
# status, or to 124 after killing a child that would not end.
wait_exit() {
  local pid=$1 limit=${2:-15}
  if wait_for "$limit" bash -c "! kill -0 $pid 2>/dev/null || grep -q '^State:.*Z' /proc/$pid/status 2>/dev/null"; then
    wait "$pid" 2>/dev/null; rc=$?
  else
    kill -KILL "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; rc=124
  fi
}
# count_logged DIR TEXT: how many lines hold TEXT.
count_logged() { log_text "$1" | grep -cF -- "$2" || true; }
# logged_times DIR TEXT N: TEXT is on at least N lines.
logged_times() { [ "$(count_logged "$1" "$2")" -ge "$3" ]; }
# line_before DIR TEXT: the text of the line just before the last line holding TEXT.
line_before() { log_text "$1" | grep -B1 -F -- "$2" | tail -n2 | head -n1 | sed 's/^[0-9/]* [0-9:]* - //'; }
# Settings under which neither server can be reached, quickly.
write_unreachable_settings() {
  printf '[Kordane]\r\nServidorCentral=\r\nServidor=127.0.0.1\r\nCaminho=/nao/existe/LOJA.FDB\r\n' >"$1/kordane.ini"
}
# check_event_sources PROGRAM: both event sources name PROGRAM (a Windows path) as their message
# file, for every type of entry, in the registry of the Wine prefix of $W (the wine64 loader).
event_source() { "$W" reg query "HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\$1" 2>/dev/null | tr -d '\r'; }
check_event_sources() {
  local program=$1 source pattern value
  pattern=$(sed 's/[.\\]/\\&/g' <<<"$program")
  for source in TavrimondoClient SrvTavrimondoClient.exe; do
    value=$(event_source "$source")
    check "event source $source: the program is its message file" \
      grep -qE "^ +EventMessageFile +REG_EXPAND_SZ +$pattern\$" <<<"$value"
    grep -qE "^ +EventMessageFile +REG_EXPAND_SZ +$pattern\$" <<<"$value" || printf "  in the registry: %s\n" "$value"
    check "  of every type" grep -qE '^ +TypesSupported +REG_DWORD +0x7$' <<<"$(event_source $source)"
  done
}
# no_event_sources: neither source is registered any more.
no_event_sources() { ! event_source TavrimondoClient | grep -q EventMessageFile && ! event_source SrvTavrimondoClient.exe | grep -q EventMessageFile; }
