#!/usr/bin/env bash
# The Firebird servers for development and tests: 3.0 from this machine's packages on port 3050,
# and 4.0 in the folder scripts/firebird4-root.sh makes (Debian's next release in a chroot) on
# port 3051.
#
#   firebird.sh install                  install the 3.0 server, tools and client (once; idempotent)
#   firebird.sh start [3|4|all]          set the SYSDBA password, start the server on loopback, wait for its port
#   firebird.sh stop [3|4|all]           stop the server this script started
#   firebird.sh status [3|4]             exit 0 when the server this script started is running
#   firebird.sh create-store-db PATH [CHARSET]
#                                        create a store database with PADRAO, PRODUTOS and RPL_LOGESTOQUE_ENV
#                                        (default character set ISO8859_1)
#
# Without a version the commands act on the server TAVRIMONDO_FB_VERSION names (3 by default): a
# test run against 4.0 sets it, so that its "start" starts again the server it killed, never the
# other one.
#
# Environment (for the server TAVRIMONDO_FB_VERSION names; the other one keeps its defaults):
#   TAVRIMONDO_FB_VERSION  3 (default) or 4
#   TAVRIMONDO_STATE_DIR   PID file, server log and a firebird-writable folder for databases
#                          (default /tmp/tavrimondo-fb, for 4.0 /tmp/tavrimondo-fb4; databases go to
#                          $TAVRIMONDO_STATE_DIR/db)
#   TAVRIMONDO_FB_HOST     host the tests and create-store-db talk to (default localhost, for 4.0
#                          localhost/3051)
#   TAVRIMONDO_FB_PASSWORD SYSDBA password set by start (default tallowfin, the agent's first password)
#   TAVRIMONDO_FB4_ROOT    the 4.0 folder (see scripts/firebird4-root.sh)
#
# The servers run as their firebird user (never root: files a root server creates cannot be
# opened later by the firebird user) and each PID file belongs to this script, so stop never
# touches a server someone else started. The 4.0 server sees its database folder at the same
# absolute path as everyone outside the chroot (a bind mount), so a path means the same file to
# the tests, the tools and both servers.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
SELECTED=${TAVRIMONDO_FB_VERSION:-3}
PASSWORD=${TAVRIMONDO_FB_PASSWORD:-tallowfin}

# Sets VERSION, STATE_DIR, DB_DIR, PID_FILE, LOG_FILE, HOST, PORT and, for 4.0, ROOT.
select_version() {
  VERSION=$1
  local state host
  case $VERSION in
    3) state=/tmp/tavrimondo-fb; host=localhost; PORT=3050 ;;
    4) state=/tmp/tavrimondo-fb4; host=localhost/3051; PORT=3051
       ROOT=$(bash "$here/firebird4-root.sh" path) ;;
    *) die "unknown Firebird version '$VERSION' (3 or 4)" ;;
  esac
  if [[ $VERSION == "$SELECTED" ]]; then
    state=${TAVRIMONDO_STATE_DIR:-$state}
    host=${TAVRIMONDO_FB_HOST:-$host}
  fi
  STATE_DIR=$state
  HOST=$host
  DB_DIR="$STATE_DIR/db"
  PID_FILE="$STATE_DIR/firebird.pid"
  LOG_FILE="$STATE_DIR/firebird.log"
}

die() { echo "firebird.sh: $*" >&2; exit 1; }

is_running() {
  [[ -f "$PID_FILE" ]] || return 1
  local pid
  pid=$(cat "$PID_FILE")
  # A server killed outright stays a zombie until something reaps it: that is not running.
  [[ -n "$pid" ]] && kill -0 "$pid" 2>/dev/null && ! grep -q '^State:.*Z' "/proc/$pid/status" 2>/dev/null
}

port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null; }

cmd_install() {
  local missing=()
  for p in firebird3.0-server firebird3.0-utils firebird-dev libfbclient2; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if ((${#missing[@]} == 0)); then
    echo "firebird.sh: packages already installed"
    return 0
  fi
  # Without the preset the package picks a random SYSDBA password; start sets ours anyway.
  echo "firebird3.0-server shared/firebird/sysdba_password/first_install password masterkey" |
    debconf-set-selections
  DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}"
  # The package may have started a server of its own; this script wants to own the one that runs.
  /etc/init.d/firebird3.0 stop >/dev/null 2>&1 || true
}

# The server's program, each command given to it run as its firebird user: directly for 3.0,
# inside the folder for 4.0.
as_firebird() {
  if [[ $VERSION == 4 ]]; then
    chroot "$ROOT" setpriv --reuid=firebird --regid=firebird --init-groups "$@"
  else
    setpriv --reuid=firebird --regid=firebird --init-groups "$@"
  fi
}
exec_as_firebird() {
  if [[ $VERSION == 4 ]]; then
    exec chroot "$ROOT" setpriv --reuid=firebird --regid=firebird --init-groups "$@"
  else
    exec setpriv --reuid=firebird --regid=firebird --init-groups "$@"
  fi
}

# The 4.0 folder's mounts: /proc, and the database folder at its own path. Kept while the server
# is killed and started again; removed by stop.
mount_fb4() {
  bash "$here/firebird4-root.sh" check ||
    die "the Firebird 4.0 folder $ROOT is not made: run scripts/firebird4-root.sh (as root, a few minutes)"
  mountpoint -q "$ROOT/proc" || mount -t proc proc "$ROOT/proc"
  mkdir -p "$ROOT$DB_DIR"
  mountpoint -q "$ROOT$DB_DIR" || mount --bind "$DB_DIR" "$ROOT$DB_DIR"
  # The same names for the same addresses inside as outside.
  cp /etc/hosts "$ROOT/etc/hosts"
  local conf="$ROOT/etc/firebird/4.0/service-port.conf"
  grep -qx "RemoteServicePort = $PORT" "$conf" 2>/dev/null || echo "RemoteServicePort = $PORT" >"$conf"
}

unmount_fb4() {
  local m
  for m in "$ROOT$DB_DIR" "$ROOT/proc"; do
    mountpoint -q "$m" 2>/dev/null && umount "$m" 2>/dev/null || umount -l "$m" 2>/dev/null || true
  done
}

cmd_start() {
  [[ $EUID -eq 0 ]] || die "start needs root: it runs the server as the firebird user"
  mkdir -p "$STATE_DIR" "$DB_DIR"
  chmod 1777 "$DB_DIR"
  local server=/usr/sbin/firebird security_db
  if [[ $VERSION == 4 ]]; then
    mount_fb4
    security_db=/var/lib/firebird/4.0/system/security4.fdb
    # The release's /usr/sbin/firebird is a wrapper that leaves the server running as a child of
    # its own: the PID file must name the server itself.
    server=/usr/lib/firebird/4.0/bin/firebird
  else
    command -v isql-fb >/dev/null || die "isql-fb not found: run 'firebird.sh install' first"
    chown firebird:firebird "$DB_DIR"
    security_db=/var/lib/firebird/3.0/system/security3.fdb
  fi
  if is_running; then
    echo "firebird.sh: $VERSION.0 already running (pid $(cat "$PID_FILE"))"
    return 0
  fi
  if port_open; then
    die "port $PORT is already taken by a server this script did not start (stop it first, e.g. /etc/init.d/firebird3.0 stop)"
  fi
  # With the server stopped the security database opens in embedded mode: the most robust way to
  # put SYSDBA back to a known password, also after a test that changed it died half-way.
  echo "create or alter user SYSDBA password '$PASSWORD';" |
    as_firebird isql-fb -q -user SYSDBA "$security_db" \
    || die "could not set the SYSDBA password in $security_db"
  # exec: the background job is the server itself, not a shell around it (chroot and setpriv
  # each replace themselves with the next program too), so $! is the server's PID.
  (exec_as_firebird "$server" >"$LOG_FILE" 2>&1) &
  echo $! >"$PID_FILE"
  for _ in $(seq 1 100); do
    if port_open; then
      echo "firebird.sh: $VERSION.0 started (pid $(cat "$PID_FILE")), listening on port $PORT"
      return 0
    fi
    is_running || { cat "$LOG_FILE" >&2; rm -f "$PID_FILE"; die "server exited at start"; }
    sleep 0.1
  done
  die "server did not accept connections on port $PORT within 10 s (log: $LOG_FILE)"
}

cmd_stop() {
  if ! is_running; then
    rm -f "$PID_FILE"
    [[ $VERSION == 4 ]] && unmount_fb4
    echo "firebird.sh: $VERSION.0 not running"
    return 0
  fi
  local pid how=stopped
  pid=$(cat "$PID_FILE")
  kill -TERM "$pid" 2>/dev/null || true
  for _ in $(seq 1 100); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$pid" 2>/dev/null; then
    kill -KILL "$pid" 2>/dev/null || true
    how="killed after 10 s"
  fi
  rm -f "$PID_FILE"
  [[ $VERSION == 4 ]] && unmount_fb4
  echo "firebird.sh: $VERSION.0 $how"
}

cmd_status() {
  if is_running; then echo "$VERSION.0 running (pid $(cat "$PID_FILE"))"; else echo "$VERSION.0 stopped"; return 1; fi
}

# Runs a command for each version named: 3, 4, all (both), or none (the selected one).
for_versions() {
  local cmd=$1 which=${2:-$SELECTED} v rc=0
  case $which in
    all) set -- 3 4 ;;
    3|4) set -- "$which" ;;
    *) die "unknown Firebird version '$which' (3, 4 or all)" ;;
  esac
  for v in "$@"; do
    select_version "$v"
    "$cmd" || rc=1
  done
  return $rc
}

# A store database as the ERP keeps it, reduced to what the agent reads and writes.
cmd_create_store_db() {
  local path=${1:-} charset=${2:-ISO8859_1}
  [[ -n "$path" ]] || die "usage: firebird.sh create-store-db PATH [CHARSET]"
  [[ "$charset" =~ ^[A-Z0-9_]+$ ]] || die "CHARSET must be a Firebird character set name"
  [[ "$path" == /* ]] || die "PATH must be absolute (the server opens it as it sees it)"
  [[ "$path" != *"'"* ]] || die "PATH must not hold a single quote"
  local dir
  dir=$(dirname "$path")
  [[ -d "$dir" ]] || die "folder $dir does not exist"
  if [[ -e "$path" ]]; then
    echo "firebird.sh: $path exists, left as it is"
    return 0
  fi
  isql-fb -q -user SYSDBA -password "$PASSWORD" <<SQL
SET SQL DIALECT 3;
CREATE DATABASE '$HOST:$path' PAGE_SIZE 8192 DEFAULT CHARACTER SET $charset;
CREATE TABLE PADRAO (
  CODIGO INTEGER NOT NULL PRIMARY KEY,
  RPL_LOGESTOQUE CHAR(1),
  CODIGOLOJA INTEGER,
  RPL_ULTIMAATUALIZACAO TIMESTAMP
);
CREATE TABLE PRODUTOS (
  CODIGO VARCHAR(20) NOT NULL PRIMARY KEY,
  DESCRICAO VARCHAR(60),
  ESTOQUEATUAL NUMERIC(15,4)
);
CREATE TABLE RPL_LOGESTOQUE_ENV (
  SEQUENCIAL BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY,
  CODIGOPRODUTO VARCHAR(20),
  ESTOQUEATUAL NUMERIC(15,4),
  DATAHORA TIMESTAMP DEFAULT CURRENT_TIMESTAMP
);
COMMIT;
SQL
  echo "firebird.sh: created $path"
}

case "${1:-}" in
  install) cmd_install ;;
  start) for_versions cmd_start "${2:-}" ;;
  stop) for_versions cmd_stop "${2:-}" ;;
  status) for_versions cmd_status "${2:-}" ;;
  create-store-db) shift; select_version "$SELECTED"; cmd_create_store_db "$@" ;;
  *) die "usage: firebird.sh install|start [3|4|all]|stop [3|4|all]|status [3|4]|create-store-db PATH" ;;
esac
