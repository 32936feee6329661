#!/usr/bin/env bash
# Compiler launcher (CMAKE_<LANG>_COMPILER_LAUNCHER) that keeps each compile's diagnostics
# beside its object as <object>.diag, so an incremental build still yields the complete
# list of warnings (scripts/cross-aarch64.sh compares the x86 and aarch64 lists).
out=
prev=
for a in "$@"; do
  [ "$prev" = -o ] && out=$a
  prev=$a
done
[ -n "$out" ] || exec "$@"
"$@" 2>"$out.diag.partial"
rc=$?
cat "$out.diag.partial" >&2
mv -f "$out.diag.partial" "$out.diag"
exit $rc
