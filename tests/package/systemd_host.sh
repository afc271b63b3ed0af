# A machine run by systemd for the package tests: this one when systemd runs it; otherwise this
# machine's own system booted as a container (systemd-nspawn), read-only below a throw-away layer
# in memory, so that the package is installed, started by systemd, restarted after a kill and
# removed without changing this machine. The container shares this machine's network, so the
# agent inside reaches the Firebird server and the stand-in central server on loopback. It boots
# to basic.target: none of this machine's own services (the Firebird server, for one) start in it.
#
# Source it, then: systemd_boot (sets sd_root, the machine's root seen from here); sd COMMAND...
# runs a command there as root; systemd_shutdown. Needs root, util-linux and systemd-container.
sd_root=
sd_nspawn_pid=
sd_leader=
sd_dir=

systemd_boot() {
  if [ -d /run/systemd/system ]; then
    sd_root=/
    return 0
  fi
  command -v systemd-nspawn >/dev/null || { echo "systemd_boot: systemd-nspawn is missing (scripts/setup.sh)"; return 1; }
  local dir
  dir=$(mktemp -d /tmp/tavrimondo-systemd.XXXXXX)
  sd_dir=$dir
  # In a mount namespace of its own: a layer in memory over this machine's root, and a /run of
  # its own for nspawn, which keeps its state there and refuses a /run on disk. Everything goes
  # with the namespace when nspawn ends.
  unshare --mount --propagation private bash -c '
    set -e
    mount -t tmpfs tmpfs /run
    mount -t tmpfs tmpfs "$1"
    mkdir "$1/upper" "$1/work" "$1/root"
    mount -t overlay overlay -o "lowerdir=/,upperdir=$1/upper,workdir=$1/work" "$1/root"
    exec systemd-nspawn --quiet --register=no --keep-unit --link-journal=no --settings=no \
      --console=read-only -M tavrimondo-test -D "$1/root" -b \
      systemd.unit=basic.target systemd.mask=firebird3.0.service systemd.mask=postgresql.service' \
    boot "$dir" >"$dir.log" 2>&1 &
  sd_nspawn_pid=$!
  local i
  for i in $(seq 1 100); do
    sd_leader=$(pgrep -P "$sd_nspawn_pid" -x systemd | head -n1)
    [ -n "$sd_leader" ] && break
    kill -0 "$sd_nspawn_pid" 2>/dev/null || break
    sleep 0.1
  done
  if [ -z "$sd_leader" ]; then
    echo "systemd_boot: the container did not start:"; cat "$dir.log"
    return 1
  fi
  sd_root=/proc/$sd_leader/root
  # systemctl can ask once systemd has opened its socket; then it waits for the boot to end.
  local state
  for i in $(seq 1 300); do
    state=$(timeout 60 nsenter -t "$sd_leader" -a systemctl is-system-running --wait 2>&1)
    case $state in
      running|degraded) return 0 ;;
      *"Failed to connect"*) sleep 0.1 ;;
      *) break ;;
    esac
  done
  echo "systemd_boot: the container's systemd is not running ($state)"
  return 1
}

# sd COMMAND...: runs COMMAND on the systemd machine, with a plain environment.
sd() {
  if [ "$sd_root" = / ]; then
    env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"
  else
    nsenter -t "$sd_leader" -a env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"
  fi
}

systemd_shutdown() {
  [ -n "$sd_nspawn_pid" ] || return 0
  # nspawn asks the container's systemd to power off; a container that does not end is killed.
  kill -TERM "$sd_nspawn_pid" 2>/dev/null
  local i
  for i in $(seq 1 200); do
    kill -0 "$sd_nspawn_pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$sd_nspawn_pid" 2>/dev/null
  wait "$sd_nspawn_pid" 2>/dev/null
  sd_nspawn_pid=
  # Only now: the folder is the container's mount point, which its removal would take away.
  rmdir "$sd_dir" 2>/dev/null
  rm -f "$sd_dir.log"
}
