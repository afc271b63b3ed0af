#!/usr/bin/env bash
# The Linux executable as a systemd service: install, uninstall and the foreground service run.
# Usage: posix_service_test.sh PATH/TO/SrvTavrimondoClient PATH/TO/TavrimondoCentral
set -u
. "$(dirname "$0")/testlib.sh"
exe_src=$1
central_exe=$2
work=$(mktemp -d)
# Only this shell cleans up: a child killed between fork and exec would run the trap too.
trap '[ "$BASHPID" = "$$" ] && { pkill -f "$work/" 2>/dev/null; rm -rf "$work"; }' EXIT
agent="$work/agent dir"         # a path with a blank
units="$work/units"
mkdir -p "$agent" "$units"
cp "$exe_src" "$agent/SrvTavrimondoClient"
exe="$agent/SrvTavrimondoClient"
export TAVRIMONDO_UNIT_DIR=$units
unit="$units/TavrimondoClient.service"

out=$("$exe" /INSTALL /SILENT 2>&1); rc=$?
check "silent install succeeds without a message" test "$rc" -eq 0 -a -z "$out"
check "unit file written" test -f "$unit"
check "unit starts the quoted path" grep -qxF "ExecStart=\"$exe\"" "$unit"
check "unit is automatic-start" grep -qx "WantedBy=multi-user.target" "$unit"
check "unit names the display name" grep -qx "Description=Tavrimondo (Sender Client)" "$unit"
check "install logged" test "$(last_logged "$agent")" = "Instalou o Serviço"
first_line_is_utf8() { head -n1 "$agent"/Tavrimondo_*.LOG | grep -q $'^[0-9][0-9]/.* - Instalou o Servi\xc3\xa7o\r$'; }
check "the new log is UTF-8, without a mark" first_line_is_utf8
check "journal lines carry the service's name" grep -qx "SyslogIdentifier=TavrimondoClient" "$unit"
check "a crashed agent is started again a minute later" \
  test "$(grep -E '^Restart(Sec)?=' "$unit" | tr '\n' ' ')" = "Restart=on-failure RestartSec=60 "
check "the unit says that it runs the agent as root" \
  bash -c "grep -q '^# The agent runs as root' '$unit' && ! grep -q '^User=' '$unit'"
if command -v systemd-analyze >/dev/null; then
  check "systemd takes the unit" systemd-analyze verify "$unit"
fi

for args in "-install" "/Install /SILENT"; do
  out=$("$exe" $args 2>&1); rc=$?
  check "second install ($args) fails" test "$rc" -ne 0
  check "second install ($args) names the failure" \
    grep -q '^Service "Tavrimondo (Sender Client)" failed to install with error: "System Error.  Code: 17.' <<<"$out"
done
check "failed installs logged nothing" test "$(log_lines "$agent")" -eq 1

out=$("$exe" /UNINSTALL 2>&1); rc=$?
check "uninstall succeeds with its message" test "$rc" -eq 0 -a "$out" = "Service uninstalled successfully"
check "unit removed" test ! -e "$unit"
check "uninstall logged" test "$(last_logged "$agent")" = "Desinstalou o Serviço"
out=$("$exe" /uninstall /silent 2>&1); rc=$?
check "uninstall of a missing service fails" test "$rc" -ne 0
check "its failure message" grep -q '^Service "Tavrimondo (Sender Client)" failed to uninstall with error: "System Error.  Code: 2.' <<<"$out"
check "and nothing logged" test "$(log_lines "$agent")" -eq 2

out=$("$exe" /UNINSTALL /INSTALL 2>&1); rc=$?
check "INSTALL beside UNINSTALL installs" test "$rc" -eq 0 -a "$out" = "Service installed successfully" -a -f "$unit"
"$exe" /uninstall /silent

# A program others can change: the unit would run it as root, so the install refuses it, and
# says what and who.
lines=$(log_lines "$agent")
chmod o+w "$agent"
out=$("$exe" /install /silent 2>&1); rc=$?
check "a folder every user may write is refused" test "$rc" -ne 0 -a ! -e "$unit"
check "naming the folder and who" grep -qF \
  "failed to install with error: \"The unit would run this program as root, but others can change it: $agent (by every user)." <<<"$out"
chmod o-w "$agent"
chown nobody "$exe"
out=$("$exe" /install /silent 2>&1); rc=$?
check "so is a program another user owns" test "$rc" -ne 0 -a ! -e "$unit"
check "naming it and its owner" grep -qF "$exe (by nobody (its owner))" <<<"$out"
chown root "$exe"
check "refused installs logged nothing" test "$(log_lines "$agent")" -eq "$lines"

# systemd's quoting: a program in a folder whose name holds what systemd would otherwise take as
# a specifier, a variable, an escape or a quote. The first one systemd starts directly; the second
# it would refuse, so the shell starts it. Where systemd-analyze is at hand it checks the unit.
odd1="$work/loja 100% \$HOME"
odd2="$work/loja \"q\" 'a' \\b \$X%"
mkdir -p "$odd1" "$odd2"
cp "$exe_src" "$odd1/SrvTavrimondoClient"
cp "$exe_src" "$odd2/SrvTavrimondoClient"
"$odd1/SrvTavrimondoClient" /install /silent
check "odd path: the program's path quoted, '%' doubled" \
  grep -qxF "ExecStart=\"$work/loja 100%% \$HOME/SrvTavrimondoClient\"" "$unit"
if command -v systemd-analyze >/dev/null; then
  check "odd path: systemd finds the program" systemd-analyze verify "$unit"
fi
"$odd1/SrvTavrimondoClient" /uninstall /silent
"$odd2/SrvTavrimondoClient" /install /silent
check "quotes and backslashes: the shell starts the program, '\$' doubled too" \
  grep -qxF "ExecStart=/bin/sh -c \"exec \\\"\$\$0\\\"\" \"$work/loja \\\"q\\\" 'a' \\\\b \$\$X%%/SrvTavrimondoClient\"" "$unit"
if command -v systemd-analyze >/dev/null; then
  check "quotes and backslashes: systemd takes the unit" systemd-analyze verify "$unit"
fi
"$odd2/SrvTavrimondoClient" /uninstall /silent

# systemctl, where systemd runs: its failures make the install or uninstall fail with its words.
cat >"$work/systemctl" <<'SH'
#!/bin/sh
echo "$*" >>"$FAKE_SYSTEMCTL_LOG"
case " $* " in *" $FAKE_SYSTEMCTL_FAIL "*) echo "Failed to $1: Access denied" >&2; exit 1 ;; esac
SH
chmod +x "$work/systemctl"
export TAVRIMONDO_SYSTEMCTL="$work/systemctl" FAKE_SYSTEMCTL_LOG="$work/systemctl.log" FAKE_SYSTEMCTL_FAIL=none
rm -f "$agent"/Tavrimondo_*.LOG "$work/systemctl.log"
"$exe" /install /silent; rc=$?
check "with systemd the install reloads and enables" \
  test "$rc" -eq 0 -a "$(tr '\n' '|' <"$work/systemctl.log")" = "daemon-reload|enable TavrimondoClient.service|"
for verb in daemon-reload enable; do
  rm -f "$work/systemctl.log"
  "$exe" /uninstall /silent
  out=$(FAKE_SYSTEMCTL_FAIL=$verb "$exe" /install /silent 2>&1); rc=$?
  check "a failing $verb fails the install" test "$rc" -ne 0
  check "with systemctl's message" grep -qF "failed to install with error: \"systemctl $verb" <<<"$out"
  check "and its words" grep -qF "(exit status 1): Failed to $verb: Access denied\"" <<<"$out"
  check "and leaves no unit behind" test ! -e "$unit"
done
check "failed installs logged nothing" test "$(count_logged "$agent" "Instalou o Serviço")" -eq 1
"$exe" /install /silent
uninstalls=$(count_logged "$agent" "Desinstalou o Serviço")
out=$(FAKE_SYSTEMCTL_FAIL=disable "$exe" /uninstall /silent 2>&1); rc=$?
check "a failing disable fails the uninstall" test "$rc" -ne 0
check "with systemctl's message" \
  grep -qF 'failed to uninstall with error: "systemctl disable TavrimondoClient.service failed (exit status 1): Failed to disable: Access denied"' <<<"$out"
check "and keeps the unit" test -f "$unit"
check "and logs nothing" test "$(count_logged "$agent" "Desinstalou o Serviço")" -eq "$uninstalls"
rm -f "$work/systemctl.log"
"$exe" /uninstall /silent; rc=$?
check "with systemd the uninstall disables and reloads" \
  test "$rc" -eq 0 -a "$(tr '\n' '|' <"$work/systemctl.log")" = "disable TavrimondoClient.service|daemon-reload|"
unset TAVRIMONDO_SYSTEMCTL FAKE_SYSTEMCTL_LOG FAKE_SYSTEMCTL_FAIL

rm -f "$agent"/Tavrimondo_*.LOG
"$exe" /installs >"$work/run.out" 2>&1 &
pid=$!
check "an unknown switch means a service run" wait_for 10 logged "$agent" "Iniciou o Serviço"
kill -TERM $pid
wait_exit $pid

# The service run: in the foreground until SIGTERM.
rm -f "$agent"/Tavrimondo_*.LOG
"$exe" >"$work/run.out" 2>&1 &
pid=$!
check "service run logs its start" wait_for 10 logged "$agent" "Iniciou o Serviço"
kill -TERM $pid
wait_exit $pid
check "SIGTERM ends the run cleanly" test "$rc" -eq 0
check "stop logged last" test "$(last_logged "$agent")" = "Parou o Serviço"

rm -f "$agent"/Tavrimondo_*.LOG
"$exe" >"$work/run.out" 2>&1 &
pid=$!
wait_for 10 logged "$agent" "Iniciou o Serviço"
kill -INT $pid
wait_exit $pid
check "SIGINT ends the run cleanly" test "$rc" -eq 0


# The lifecycle, driven by signals, while neither server can be reached.
rm -f "$agent"/Tavrimondo_*.LOG
write_unreachable_settings "$agent"
"$exe" >"$work/run.out" 2>&1 &
pid=$!
check "start with both servers unreachable still logs its start" wait_for 15 logged "$agent" "Iniciou o Serviço"
central_failure=$(line_before "$agent" "Iniciou o Serviço")
check "the central connection's failure comes first, nothing from the local one" \
  test -n "$central_failure" -a "$(log_lines "$agent")" -eq 2
kill -USR1 $pid
check "SIGUSR1 pauses" wait_for 10 logged "$agent" "Pausou o Serviço"
failures=$(count_logged "$agent" "$central_failure")
cycles_before=$(jq -r .counters.cycles "$agent/Tavrimondo_cycle.json" 2>/dev/null || echo 0)
check "cycles go on while paused" wait_for 20 bash -c "[ \"\$(jq -r .counters.cycles '$agent/Tavrimondo_cycle.json' 2>/dev/null)\" -gt $cycles_before ]"
check "  a failure that lasts is not logged again every cycle" test "$(count_logged "$agent" "$central_failure")" -eq "$failures"
kill -USR2 $pid
check "SIGUSR2 continues" wait_for 10 logged "$agent" "Retomou o Serviço"
# The continue's own central connection attempt is logged before its line (a slow cycle's lines may
# come right before it too, so look at the lines since the pause).
check "continue connects again first" bash -c "$(declare -f log_text); log_text '$agent' | sed -n '/Pausou o Serviço/,/Retomou o Serviço/p' | grep -qF '$central_failure'"
kill -HUP $pid
check "SIGHUP continues too" wait_for 10 logged_times "$agent" "Retomou o Serviço" 2
kill -USR1 $pid
wait_for 10 logged_times "$agent" "Pausou o Serviço" 2
kill -TERM $pid
wait_exit $pid
check "stop while paused ends the run" test "$rc" -eq 0
check "and is logged last" test "$(last_logged "$agent")" = "Parou o Serviço"

# A stop during a cycle: the central server answers every message after 3 s, so a cycle that
# connects to it is still busy when the stop arrives. The stop is carried out at once; the
# process ends when the cycle does.
"$central_exe" --bind 127.0.0.1 --port 2507 --delay-ms 3000 2>"$work/central.log" &
central_pid=$!
check "the slow central server listens" wait_for 10 grep -q "listening on" "$work/central.log"
printf '[Kordane]\r\nServidorCentral=127.0.0.1\r\nServidor=127.0.0.1\r\nCaminho=/nao/existe/LOJA.FDB\r\n' >"$agent/kordane.ini"

# A SIGTERM while the start is pending (it waits for the slow server) is held, not lost: the
# service starts, then stops. Sent once the program routes the control signals to itself
# (SIGTERM, bit 15, in the blocked mask); before that it would simply end the process.
rm -f "$agent"/Tavrimondo_*.LOG
"$exe" >"$work/run.out" 2>&1 &
pid=$!
sigterm_blocked() { grep -q '^SigBlk:' "/proc/$1/status" && (( 0x$(awk '/^SigBlk:/ {print $2}' "/proc/$1/status") & 0x4000 )); }
check "the control signals are routed at once" wait_for 10 sigterm_blocked $pid
check "and the start is still pending" test "$(log_lines "$agent")" -eq 0
kill -TERM $pid
wait_exit $pid 30
check "a SIGTERM during the start ends the run cleanly" test "$rc" -eq 0
check "after the start has finished" \
  test "$(log_text "$agent" | sed 's/^[0-9/]* [0-9:]* - //' | tail -n2 | tr '\n' '|')" = "Iniciou o Serviço|Parou o Serviço|"

rm -f "$agent"/Tavrimondo_*.LOG
"$exe" >"$work/run.out" 2>&1 &
pid=$!
check "start connects to the slow central server" wait_for 30 logged "$agent" "Iniciou o Serviço"
# The first cycle's line (its local connection failure) ends it; the next cycle connects anew.
first_cycle_ended() { [ "$(log_text "$agent" | sed -n '/Iniciou o Serviço/,$p' | wc -l)" -ge 2 ]; }
check "a first cycle ends" wait_for 30 first_cycle_ended
accepted=$(grep -c 'connection accepted' "$work/central.log")
check "the next cycle connects" \
  wait_for 20 bash -c "[ \$(grep -c 'connection accepted' '$work/central.log') -ge $((accepted + 1)) ]"
cycles_at_stop=$(jq -r .counters.cycles "$agent/Tavrimondo_cycle.json")
kill -TERM $pid
check "the stop is carried out during the cycle" wait_for 2 logged "$agent" "Parou o Serviço"
check "while the cycle still runs" kill -0 $pid || { log_text "$agent"; cat "$work/central.log"; }
wait_exit $pid 30
check "the process ends when the cycle ends" test "$rc" -eq 0
# The cycle ends after the stop's line: the record counts it (its failure, the first cycle's again,
# is not logged twice within the hour).
check "the cycle finished after the stop" test "$(jq -r .counters.cycles "$agent/Tavrimondo_cycle.json")" -gt "$cycles_at_stop"

# A second SIGTERM while that stop waits for the cycle ends the process at once.
rm -f "$agent"/Tavrimondo_*.LOG
"$exe" >"$work/run.out" 2>&1 &
pid=$!
check "start again" wait_for 30 logged "$agent" "Iniciou o Serviço"
# A second agent run by hand on the same folder: it says which one runs, and ends.
out=$("$exe" 2>&1); rc=$?
check "a second agent on the folder ends with status 1" test "$rc" -eq 1
check "saying which process runs there" \
  grep -qF "Outro agente já está rodando desta pasta (processo $pid); este termina sem fazer nada" <<<"$out"
check "a first cycle ends again" wait_for 30 first_cycle_ended
accepted=$(grep -c 'connection accepted' "$work/central.log")
check "the next cycle connects again" \
  wait_for 20 bash -c "[ \$(grep -c 'connection accepted' '$work/central.log') -ge $((accepted + 1)) ]"
kill -TERM $pid
check "the first stop is carried out" wait_for 2 logged "$agent" "Parou o Serviço"
kill -TERM $pid
wait_exit $pid 2
check "a second SIGTERM ends the process at once" test "$rc" -eq 143
kill -KILL $central_pid 2>/dev/null
wait $central_pid 2>/dev/null
finish
