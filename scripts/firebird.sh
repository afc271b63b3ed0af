#!/usr/bin/env bash
# Local Firebird 3 server for development and tests.
#
#   firebird.sh install              install the server, tools and client (once; idempotent)
#   firebird.sh start                set the SYSDBA password, start the server on loopback, wait for port 3050
#   firebird.sh stop                 stop the server this script started
#   firebird.sh status               exit 0 when the server this script started is running
#   firebird.sh create-store-db PATH [CHARSET]
#                                    create a store database with PADRAO, PRODUTOS and RPL_LOGESTOQUE_ENV
#                                    (default character set ISO8859_1)
#
# Environment:
#   TAVRIMONDO_STATE_DIR   PID file, server log and a firebird-writable folder for databases
#                          (default /tmp/tavrimondo-fb; databases go to $TAVRIMONDO_STATE_DIR/db)
#   TAVRIMONDO_FB_HOST     host the tests and create-store-db talk to (default localhost)
#   TAVRIMONDO_FB_PASSWORD SYSDBA password set by start (default tallowfin, the agent's first password)
#
# The server runs as the firebird user (never root: files a root server creates cannot be opened
# later by the firebird user) and its PID file belongs to this script, so stop never touches a
# server someone else started.
set -euo pipefail

STATE_DIR=${TAVRIMONDO_STATE_DIR:-/tmp/tavrimondo-fb}
DB_DIR="$STATE_DIR/db"
PID_FILE="$STATE_DIR/firebird.pid"
LOG_FILE="$STATE_DIR/firebird.log"
HOST=${TAVRIMONDO_FB_HOST:-localhost}
PASSWORD=${TAVRIMONDO_FB_PASSWORD:-tallowfin}
SECURITY_DB=/var/lib/firebird/3.0/system/security3.fdb
PORT=3050

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

cmd_start() {
  [[ $EUID -eq 0 ]] || die "start needs root: it runs the server as the firebird user"
  command -v isql-fb >/dev/null || die "isql-fb not found: run 'firebird.sh install' first"
  mkdir -p "$STATE_DIR" "$DB_DIR"
  chown firebird:firebird "$DB_DIR"
  chmod 1777 "$DB_DIR"
  if is_running; then
    echo "firebird.sh: already running (pid $(cat "$PID_FILE"))"
    return 0
  fi
  if port_open; then
    die "port $PORT is already taken by a server this script did not start (stop it first, e.g. /etc/init.d/firebird3.0 stop)"
  fi
  # With the server stopped the security database opens in embedded mode: the most robust way to
  # put SYSDBA back to a known password, also after a test that changed it died half-way.
  echo "create or alter user SYSDBA password '$PASSWORD';" |
    setpriv --reuid=firebird --regid=firebird --init-groups isql-fb -q -user SYSDBA "$SECURITY_DB" \
    || die "could not set the SYSDBA password in $SECURITY_DB"
  setpriv --reuid=firebird --regid=firebird --init-groups /usr/sbin/firebird >"$LOG_FILE" 2>&1 &
  echo $! >"$PID_FILE"
  for _ in $(seq 1 100); do
    if port_open; then
      echo "firebird.sh: started (pid $(cat "$PID_FILE")), listening on port $PORT"
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
    echo "firebird.sh: not running"
    return 0
  fi
  local pid
  pid=$(cat "$PID_FILE")
  kill -TERM "$pid" 2>/dev/null || true
  for _ in $(seq 1 100); do
    kill -0 "$pid" 2>/dev/null || { rm -f "$PID_FILE"; echo "firebird.sh: stopped"; return 0; }
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
  rm -f "$PID_FILE"
  echo "firebird.sh: killed after 10 s"
}

cmd_status() {
  if is_running; then echo "running (pid $(cat "$PID_FILE"))"; else echo "stopped"; return 1; fi
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
  start) cmd_start ;;
  stop) cmd_stop ;;
  status) cmd_status ;;
  create-store-db) shift; cmd_create_store_db "$@" ;;
  *) die "usage: firebird.sh install|start|stop|status|create-store-db PATH" ;;
esac
