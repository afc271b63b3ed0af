#!/usr/bin/env bash
# Creates a central database for the stand-in central server (TavrimondoCentral --firebird PATH).
#
#   create-central-db.sh PATH     PATH absolute, in a folder the firebird user can write
#
# Environment: TAVRIMONDO_FB_HOST (default localhost), TAVRIMONDO_FB_PASSWORD (SYSDBA password,
# default tallowfin, as scripts/firebird.sh start sets it).
set -euo pipefail

path=${1:-}
HOST=${TAVRIMONDO_FB_HOST:-localhost}
PASSWORD=${TAVRIMONDO_FB_PASSWORD:-tallowfin}
die() { echo "create-central-db.sh: $*" >&2; exit 1; }
[[ -n "$path" ]] || die "usage: create-central-db.sh PATH"
[[ "$path" == /* ]] || die "PATH must be absolute (the server opens it as it sees it)"
[[ "$path" != *"'"* ]] || die "PATH must not hold a single quote"
[[ -d "$(dirname "$path")" ]] || die "folder $(dirname "$path") does not exist"
if [[ -e "$path" ]]; then
  echo "create-central-db.sh: $path exists, left as it is"
  exit 0
fi
isql-fb -q -user SYSDBA -password "$PASSWORD" <<SQL
SET SQL DIALECT 3;
CREATE DATABASE '$HOST:$path' PAGE_SIZE 8192 DEFAULT CHARACTER SET ISO8859_1;
CREATE TABLE FILIAIS (
  CODIGO INTEGER NOT NULL PRIMARY KEY,
  RPL_INDICEESTOQUE BIGINT,
  DATAHORA TIMESTAMP DEFAULT CURRENT_TIMESTAMP NOT NULL,
  RPL_ULTIMAATUALIZACAO TIMESTAMP
);
CREATE TABLE LOGESTOQUEREC (
  CODIGOLOJA INTEGER NOT NULL,
  SEQUENCIALLOJAORIGEM BIGINT NOT NULL,
  CODIGOPRODUTO VARCHAR(20) NOT NULL,
  ESTOQUEATUAL NUMERIC(15,4) NOT NULL,
  RECEBIDOEM TIMESTAMP DEFAULT CURRENT_TIMESTAMP,
  PRIMARY KEY (CODIGOLOJA, SEQUENCIALLOJAORIGEM)
);
COMMIT;
SQL
echo "create-central-db.sh: created $path"
