#!/usr/bin/env bash
# Builds the Windows installer with wixl from the MinGW build's program and custom actions.
#   packaging/windows/build-msi.sh EXE ACTIONS_DLL VERSION OUT.msi
# VERSION is the product's (major.minor.build); a higher one upgrades an installed lower one.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
[ $# -eq 4 ] || { echo "usage: $0 EXE ACTIONS_DLL VERSION OUT.msi" >&2; exit 2; }
exe=$1 actions=$2 version=$3 out=$(realpath -m "$4")
for t in wixl msibuild; do
  command -v $t >/dev/null || { echo "build-msi.sh: $t is missing (scripts/setup.sh installs it)" >&2; exit 1; }
done
for f in "$exe" "$actions"; do [ -f "$f" ] || { echo "build-msi.sh: $f is missing (scripts/build.sh win)" >&2; exit 1; }; done
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
# The package carries the programs without their symbols. wixl takes files by names relative to
# the folder it runs in.
x86_64-w64-mingw32-strip -o "$stage/SrvTavrimondoClient.exe" "$exe"
x86_64-w64-mingw32-strip -o "$stage/TavrimondoSetup.dll" "$actions"
cp "$here/kordane.ini" "$here/tavrimondo.wxs" "$stage/"
(cd "$stage" && wixl --arch x64 -D Version="$version" -D Exe=SrvTavrimondoClient.exe -D Actions=TavrimondoSetup.dll \
  -D Ini=kordane.ini -o "$out" tavrimondo.wxs)
# What wixl does not write. The settings' component is never overwritten (0x80) and never removed
# (0x10), besides 64-bit (0x100).
msibuild "$out" -q "UPDATE Component SET Attributes = 400 WHERE Component = 'Settings'"
# The event sources' message file as an expandable string (REG_EXPAND_SZ, as the event log wants
# it and /INSTALL writes it): wixl writes Type="expandable" as a plain string.
msibuild "$out" -q "UPDATE Registry SET Value = '#%[#SrvTavrimondoClient.exe]' WHERE Name = 'EventMessageFile'"
# A rollback action: in the script (0x400), for rollback (0x100), as LocalSystem (0x800), its
# result ignored (0x40), from the DLL (1); wixl writes it as an immediate one.
msibuild "$out" -q "UPDATE CustomAction SET Type = 3393 WHERE Action = 'StartServiceAgain'"
# The actions' places, which wixl's own ordering gets wrong. An older version goes entirely before
# this one installs (its service stopped and deleted, its program removed); the service is
# stopped, and its process has ended, before the installer stops it and removes or replaces its
# program; the settings are checked before anything changes; once the files are in place the
# folder is kept for the administrators, then the settings are written; the rest of the service's registration follows the installer's, before it starts.
seq() { msibuild "$out" -q "UPDATE InstallExecuteSequence SET Sequence = $2 WHERE Action = '$1'"; }
seq PrepareSettings 1001         # after CostFinalize (1000)
seq ConfigureServiceData 1002
seq StopServiceData 1003
seq StartServiceAgainData 1004
seq ProtectFolderData 1005
seq RemoveExistingProducts 1401  # after InstallValidate (1400)
seq StartServiceAgain 1898       # the stop's rollback, then the stop,
seq StopService 1899             # before StopServices (1900)
seq ProtectFolder 4001           # after InstallFiles (4000)
seq WriteSettings 4002
seq ConfigureService 5801        # after InstallServices (5800), before StartServices (5900)
