#!/usr/bin/env bash
# The library exports exactly its C API (nothing of the YOLO code or OpenCV it
# carries), under soname version 1, the functions of API version 2 in their own
# symbol version node; its pkg-config file is usable; and an install
# tree builds and runs a C and a C++ consumer through pkg-config alone.
#   abi_test.sh LIBRARY PC_FILE VERSION CMAKE MODULE_BUILD_DIR CC CXX [TARGET_FLAGS]
#   (TARGET_FLAGS: what the compilers need for the build's target, e.g. a cross sysroot)
set -euo pipefail
lib=$1 pc=$2 version=$3 cmake=$4 module_build=$5 cc=$6 cxx=$7 target_flags=${8:-}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
[ -r "$lib" ] || { echo "missing library $lib" >&2; exit 1; }
[ -r "$pc" ] || { echo "missing pkg-config file $pc" >&2; exit 1; }

expected="nmx_customize_detection_list_release@@NMX_CUSTOMIZE_1
nmx_customize_detection_list_reset@@NMX_CUSTOMIZE_1
nmx_customize_get_api_version@@NMX_CUSTOMIZE_1
nmx_customize_postprocess_yolov5@@NMX_CUSTOMIZE_1
nmx_customize_postprocess_yolov5_at_size@@NMX_CUSTOMIZE_2
nmx_customize_postprocess_yolov8_detection@@NMX_CUSTOMIZE_1
nmx_customize_postprocess_yolov8_detection_at_size@@NMX_CUSTOMIZE_2
nmx_customize_preprocess_yolov5@@NMX_CUSTOMIZE_1
nmx_customize_preprocess_yolov8_detection@@NMX_CUSTOMIZE_1"
exported=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TDBRVWiu]$/ {print $3}' | sort)
if [ "$exported" != "$expected" ]; then
  echo "exported symbols differ:" >&2
  diff <(echo "$expected") <(echo "$exported") >&2 || true
  exit 1
fi
soname=$(objdump -p "$lib" | awk '$1 == "SONAME" {print $2}')
[ "$soname" = "libnmx_customize.so.1" ] || { echo "soname is '$soname'" >&2; exit 1; }

dir=$(dirname "$pc")
export PKG_CONFIG_PATH=$dir
pkg-config --validate nmx_customize
[ "$(pkg-config --modversion nmx_customize)" = "$version" ] || { echo "pc version mismatch" >&2; exit 1; }
libs=$(pkg-config --libs nmx_customize)
cflags=$(pkg-config --cflags nmx_customize)
[[ " $libs " == *" -lnmx_customize "* ]] || { echo "pc libs: $libs" >&2; exit 1; }
[[ "$cflags" == *"/nmx_customize"* ]] || { echo "pc cflags: $cflags" >&2; exit 1; }

"$cmake" --install "$module_build" --prefix "$tmp/prefix" >"$tmp/install.log" || { cat "$tmp/install.log" >&2; exit 1; }
installed_pc=$(find "$tmp/prefix" -name nmx_customize.pc)
[ -n "$installed_pc" ] || { echo "no pkg-config file installed" >&2; exit 1; }
cat >"$tmp/consumer.c" <<'SRC'
#include <nmx_customize.h>
#include <stdio.h>
int main(void)
{
  NmxCustomizeDetectionList list = {0};
  NmxCustomizeTensorView none[3] = {{0, 0}, {0, 0}, {0, 0}};
  /* Views without data are refused; the list stays empty. */
  int r = nmx_customize_postprocess_yolov5(none, 3, &list, 0.5f, 0.45f, 1.0f);
  printf("version %d refused %d count %u\n", nmx_customize_get_api_version(), r == 0, list.count);
  nmx_customize_detection_list_release(&list);
  return 0;
}
SRC
cp "$tmp/consumer.c" "$tmp/consumer.cpp"
flags=$(PKG_CONFIG_PATH=$(dirname "$installed_pc") pkg-config --define-prefix --cflags --libs nmx_customize)
libdir=$(PKG_CONFIG_PATH=$(dirname "$installed_pc") pkg-config --define-prefix --variable=libdir nmx_customize)
# shellcheck disable=SC2086
"$cc" $target_flags -std=c99 -Wall -Werror -pedantic "$tmp/consumer.c" $flags -o "$tmp/consumer_c"
# shellcheck disable=SC2086
"$cxx" $target_flags -std=c++11 -Wall -Werror -pedantic "$tmp/consumer.cpp" $flags -o "$tmp/consumer_cxx"
for prog in consumer_c consumer_cxx; do
  got=$(LD_LIBRARY_PATH=$libdir "$tmp/$prog")
  [ "$got" = "version 2 refused 1 count 0" ] || { echo "$prog printed '$got'" >&2; exit 1; }
done
echo "ok: $(echo "$exported" | wc -l) symbols, $soname, pkg-config $version, installed C and C++ consumers"
