#!/usr/bin/env bash
# `cmake --install` of the build tree into a scratch DESTDIR: the GStreamer plug-ins land
# in the directory the system's GStreamer searches (pkg-config's pluginsdir), nowhere else,
# and GStreamer loads them from there.  Usage: install_test.sh BUILD_DIR
set -euo pipefail
BUILD=$1
tmp=$(mktemp -d /tmp/nimbra-install-XXXXXX)
trap 'rm -rf "$tmp"' EXIT

DESTDIR="$tmp/root" cmake --install "$BUILD" >"$tmp/install.log" 2>&1 || { cat "$tmp/install.log" >&2; exit 1; }
pluginsdir=$(pkg-config --variable=pluginsdir gstreamer-1.0)
for p in libgstnmx-tarkin.so libgstnmx-tarkin-video.so libkorvaframecopy.so; do
  [ -f "$tmp/root$pluginsdir/$p" ] || { echo "$p is not in $pluginsdir:" >&2; cat "$tmp/install.log" >&2; exit 1; }
  found=$(find "$tmp/root" -name "$p" | wc -l)
  [ "$found" -eq 1 ] || { echo "$p installed $found times" >&2; exit 1; }
done

# GStreamer finds them in that directory alone (the libraries they link come from the
# install, as ld.so finds them there after an install into the real root).
libdirs=$(find "$tmp/root" -name 'lib*.so*' -printf '%h\n' | grep -v gstreamer-1.0 | sort -u | paste -sd:)
for f in nmx-tarkin nmx-tarkin-video nmx-korvaframecopy; do
  env -u GST_PLUGIN_PATH GST_PLUGIN_SYSTEM_PATH_1_0="$tmp/root$pluginsdir" GST_REGISTRY_1_0="$tmp/registry.bin" \
    LD_LIBRARY_PATH="$libdirs" gst-inspect-1.0 "$f" >/dev/null || { echo "GStreamer does not load $f from $pluginsdir" >&2; exit 1; }
done
echo "ok: plug-ins installed into $pluginsdir and loaded from there"
