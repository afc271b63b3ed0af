#!/usr/bin/env bash
# An upgrade from 1.1.0, which ran the agent as the account tavrimondo from /opt/tavrimondo
# (root:tavrimondo 1775: the account wrote its files beside the program), on a machine run by
# systemd (systemd_host.sh): the program's folder becomes root's alone, the agent's files move to
# its data folders (the log to /var/log/tavrimondo, the state file and cycle record to
# /var/lib/tavrimondo), what the account left there that is not a plain file of its own is not
# followed, whatever else the account left beside the program goes (it could be a library for
# root to load), and the agent runs again, writing only its data folders. Purge then leaves nothing.
# Neither server is needed: the settings point nowhere.
# Usage (root): deb_upgrade_test.sh OLD.deb NEW.deb   (OLD: tavrimondo-agent 1.1.0, built from its commit)
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../service/testlib.sh"
. "$here/systemd_host.sh"
old=$(realpath "$1") new=$(realpath "$2")
unit=TavrimondoClient.service
systemd_boot || { fail "no systemd to run the packages' units"; finish; }
[ "$sd_root" = / ] || rm -f "$sd_root/usr/sbin/policy-rc.d"
# The packages as the container sees them: its systemd mounts a /tmp of its own.
if [ "$sd_root" != / ]; then
  cp "$old" "$new" "$sd_root/root/"
  old=/root/$(basename "$old") new=/root/$(basename "$new")
fi
apt_log=$(mktemp)
trap 'systemd_shutdown; rm -f "$apt_log"' EXIT
apt() { sd env DEBIAN_FRONTEND=noninteractive apt-get "$@" >>"$apt_log" 2>&1 || { cat "$apt_log"; return 1; }; }
main_user() { sd ps -o user= -p "$(sd systemctl show -P MainPID "$unit")"; }
opt=$sd_root/opt/tavrimondo state=$sd_root/var/lib/tavrimondo logs=$sd_root/var/log/tavrimondo

apt install -y -q "$old"
printf '[Kordane]\nServidorCentral=\nServidor=localhost/3999\nCaminho=/nao/LOJA.FDB\n; loja 7\n' \
  >"$sd_root/etc/tavrimondo/kordane.ini"
sd systemctl start "$unit"
check "1.1.0 runs the agent as the account" wait_for 10 test "$(main_user)" = tavrimondo
check "  which writes its log beside the program" wait_for 10 logged "$opt" "Iniciou o Serviço"
check "  and its cycle record" wait_for 20 test -f "$opt/Tavrimondo_cycle.json"
log_before=$(log_text "$opt")
# What an account taken over could have left there: a library for root's status check to load, a
# link in a file's place, a second name of another file.
sd setpriv --reuid=tavrimondo --regid=tavrimondo --init-groups sh -c '
  cp /usr/lib/x86_64-linux-gnu/libm.so.6 /opt/tavrimondo/libfbclient.so.2
  ln -s /etc/shadow /opt/tavrimondo/Tavrimondo_Estado.txt
  printf x >/opt/tavrimondo/own; ln /opt/tavrimondo/own /opt/tavrimondo/Tavrimondo_022018.LOG'

apt install -y -q "$new"
check "the upgrade runs the agent again, as the account" wait_for 20 test "$(main_user)" = tavrimondo
check "the program's folder is root's alone" test "$(sd stat -c '%U:%G %a' /opt/tavrimondo)" = "root:root 755"
check "  holding only the program and the settings' link: what the account put there is gone" \
  test "$(sd ls -A /opt/tavrimondo | tr '\n' ' ')" = "SrvTavrimondoClient kordane.ini "
check "the log moved to /var/log/tavrimondo" \
  test "$(log_text "$logs" | head -n "$(grep -c . <<<"$log_before")")" = "$log_before"
check "  the cycle record to /var/lib/tavrimondo" test -f "$state/Tavrimondo_cycle.json"
check "  the link in the state file's place was not followed" test ! -e "$state/Tavrimondo_Estado.txt" -a -s "$sd_root/etc/shadow"
check "  nor the second name moved (the record's own name was)" test ! -e "$logs/Tavrimondo_022018.LOG"
check "  all of them the account's" test "$(sd sh -c 'stat -c %U /var/lib/tavrimondo/* /var/log/tavrimondo/*' | sort -u)" = tavrimondo
check "the agent goes on writing its log there" wait_for 20 logged_times "$logs" "Iniciou o Serviço" 2
apt purge -y -q tavrimondo-agent
check "purge leaves nothing" test ! -e "$opt" -a ! -e "$state" -a ! -e "$logs" -a ! -e "$sd_root/etc/tavrimondo"
finish
