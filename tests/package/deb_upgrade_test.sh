#!/usr/bin/env bash
# An upgrade from the first package (1.0.0), which kept its settings in /opt/tavrimondo/kordane.ini
# and ran the agent as root under a unit its install run wrote into /etc/systemd/system, on a
# machine run by systemd (systemd_host.sh): the store's edited settings move to
# /etc/tavrimondo/kordane.ini, the files the root agent wrote become the account's, the package's
# unit replaces the old one and the agent runs again, as the account. Neither server is needed:
# the settings point nowhere.
# Usage (root): deb_upgrade_test.sh OLD.deb NEW.deb   (OLD: tavrimondo-agent 1.0.0, built from its commit)
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../service/testlib.sh"
. "$here/systemd_host.sh"
old=$(realpath "$1") new=$(realpath "$2")
unit=TavrimondoClient.service
trap systemd_shutdown EXIT
systemd_boot || { fail "no systemd to run the packages' units"; finish; }
[ "$sd_root" = / ] || rm -f "$sd_root/usr/sbin/policy-rc.d"
apt() { sd env DEBIAN_FRONTEND=noninteractive apt-get "$@" >/dev/null 2>&1; }
main_user() { sd ps -o user= -p "$(sd systemctl show -P MainPID "$unit")"; }

apt install -y -q "$old"
settings=$'[Kordane]\nServidorCentral=192.0.2.1\nServidor=localhost/3999\nCaminho=/nao/LOJA.FDB\n; loja 7\n'
printf '%s' "$settings" >"$sd_root/opt/tavrimondo/kordane.ini"
sd systemctl start "$unit"
check "1.0.0 runs the agent as root" wait_for 10 test "$(main_user)" = root
check "  which writes its log" wait_for 10 logged "$sd_root/opt/tavrimondo" "Iniciou o Serviço"

apt install -y -q "$new"
check "the upgrade runs the agent again, as the account" wait_for 20 test "$(main_user)" = tavrimondo
check "  under the package's unit" test "$(sd systemctl show -P FragmentPath "$unit")" = "/lib/systemd/system/$unit"
check "  enabled" sd systemctl is-enabled -q "$unit"
check "  the old unit gone" test ! -e "$sd_root/etc/systemd/system/$unit"
check "the store's settings are in /etc/tavrimondo/kordane.ini" cmp -s <(printf '%s' "$settings") "$sd_root/etc/tavrimondo/kordane.ini"
check "  the package's example beside them" test -f "$sd_root/etc/tavrimondo/kordane.ini.dpkg-dist"
check "  and /opt/tavrimondo/kordane.ini points there" test "$(sd readlink /opt/tavrimondo/kordane.ini)" = /etc/tavrimondo/kordane.ini
check "the files root's agent wrote are the account's" \
  test "$(sd sh -c 'stat -c %U /opt/tavrimondo/Tavrimondo_*' | sort -u)" = tavrimondo
check "  and the agent goes on writing its log" wait_for 20 logged_times "$sd_root/opt/tavrimondo" "Iniciou o Serviço" 2
apt purge -y -q tavrimondo-agent
check "purge leaves nothing" test ! -e "$sd_root/opt/tavrimondo" -a ! -e "$sd_root/etc/tavrimondo"
finish
