#!/usr/bin/env bash
# Builds every platform variant for aarch64 with Debian's cross compiler against an arm64
# Debian 12 tree, then runs the tests that need no servers and no display under qemu-user.
# Usage (root, repository root or anywhere):
#   bash scripts/cross-aarch64.sh [--tags "ub2404 8550 6490 v4l2"] [--tree-only] [--no-tests]
# Everything goes under build-aarch64/ (gitignored); a rerun reuses the tree and the builds.
set -euo pipefail
cd "$(dirname "$0")/.."
SRC=$PWD

TAGS="ub2404 8550 6490 v4l2"
TREE_ONLY=0
RUN_TESTS=1
while [ $# -gt 0 ]; do
  case "$1" in
    --tags) TAGS=$2; shift 2 ;;
    --tree-only) TREE_ONLY=1; shift ;;
    --no-tests) RUN_TESTS=0; shift ;;
    *) echo "cross-aarch64: unknown argument $1" >&2; exit 2 ;;
  esac
done

OUT=$SRC/build-aarch64
TREE=$OUT/sysroot
mkdir -p "$OUT"
LOG=$OUT/logs
mkdir -p "$LOG"

say() { printf '\n==> %s\n' "$*"; }
declare -A STAGE_SECS=()
STAGES=()
stage_start() { STAGE_NAME=$1; STAGE_T0=$(date +%s); say "$1"; }
stage_end() {
  local s=$(( $(date +%s) - STAGE_T0 ))
  STAGE_SECS[$STAGE_NAME]=$s; STAGES+=("$STAGE_NAME")
  echo "    ($STAGE_NAME: ${s}s)"
}

if [ "$(id -u)" != 0 ]; then
  echo "cross-aarch64: run as root (installs packages, builds a Debian tree)" >&2
  exit 1
fi

# ---------------------------------------------------------------- packages
# The arm64 packages the project builds against. Same names as the host's dev packages
# (scripts/install-deps.sh); servers, the compositor and host-only tools stay out.
TREE_PKGS=(
  libc6-dev libstdc++-12-dev
  libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev libgstreamer-plugins-bad1.0-dev
  libgstrtspserver-1.0-dev gstreamer1.0-tools gstreamer1.0-plugins-base
  gstreamer1.0-plugins-good gstreamer1.0-plugins-bad gstreamer1.0-plugins-ugly
  gstreamer1.0-libav gstreamer1.0-x gstreamer1.0-rtsp
  libavcodec-dev libavutil-dev libx264-dev libx265-dev libyuv-dev
  libopencv-imgcodecs-dev libjsoncpp-dev libopencv-core-dev libopencv-imgproc-dev
  libopencv-dnn-dev
  # events out of the board: MQTT client, Prometheus exposer
  libmosquitto-dev prometheus-cpp-dev
  python3 python3-dev pybind11-dev python3-numpy
  # the rolling recorder's merge script runs on the target's interpreter
  python3-gi gir1.2-gstreamer-1.0 gir1.2-gst-plugins-base-1.0
  # the Python module's own tests on the target's interpreter
  python3-pytest
  libgtest-dev libgmock-dev
)
HOST_PKGS=(g++-aarch64-linux-gnu mmdebstrap qemu-user qemu-user-static binfmt-support arch-test
           cmake ninja-build pkg-config)

stage_start "host packages"
# The x86 build (for the warnings comparison) and the generated media and models need the
# project's own host packages.
bash scripts/install-deps.sh
missing=()
for p in "${HOST_PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
else
  echo "cross toolchain, mmdebstrap and qemu present"
fi
stage_end

# ---------------------------------------------------------------- binfmt
# mmdebstrap runs the tree's maintainer scripts, and tests start arm64 child processes
# (gst-launch-1.0, nimbra-run): both go through the kernel's binfmt_misc to qemu.
say "binfmt_misc for arm64"
if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
  mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
fi
BINFMT=/proc/sys/fs/binfmt_misc/qemu-aarch64
if [ ! -e "$BINFMT" ]; then
  update-binfmts --enable qemu-aarch64
elif ! grep -q '^enabled' "$BINFMT"; then
  echo 1 >"$BINFMT"
fi
grep -q '^enabled' "$BINFMT" ||
  { echo "cross-aarch64: qemu-aarch64 is not registered with binfmt_misc" >&2; exit 1; }
echo "qemu-aarch64: $(head -2 "$BINFMT" | tr '\n' ' ')"

# ---------------------------------------------------------------- arm64 tree
# Absolute symlinks in the tree (alternatives, some .so links) would point into the host
# under both the cross linker and qemu -L; make them relative to the tree.
relativize_links() {
  local n=0 link target
  while IFS= read -r -d '' link; do
    target=$(readlink "$link")
    ln -sfn "$(realpath -m -s --relative-to="$(dirname "$link")" "$TREE$target")" "$link"
    n=$((n + 1))
  done < <(find "$TREE" -xdev -type l -lname '/*' -print0)
  echo "made $n absolute symlinks relative"
}

# qemu -L looks a path up in the tree first: the tree's empty mount points would hide the
# host's /proc (process lists), /sys and /tmp from emulated programs. They are only needed
# while the tree is a chroot.
unshadow_host_dirs() {
  local d
  for d in proc sys tmp; do
    [ -d "$TREE/$d" ] && rmdir "$TREE/$d" 2>/dev/null || true
  done
}

SUITES=("deb http://deb.debian.org/debian bookworm main"
        "deb http://deb.debian.org/debian bookworm-updates main"
        "deb http://deb.debian.org/debian-security bookworm-security main")
stage_start "arm64 Debian 12 tree"
PKG_STAMP=$(printf '%s\n' "${TREE_PKGS[@]}" | sort | sha256sum | cut -c1-16)
if [ -f "$TREE/.nimbra-tree" ] && [ "$(cat "$TREE/.nimbra-tree")" = "$PKG_STAMP" ]; then
  echo "reusing $TREE (same package list)"
  unshadow_host_dirs
elif [ -f "$TREE/.nimbra-tree" ]; then
  # The list grew or changed: install into the existing tree rather than start over.
  echo "package list changed: installing into $TREE"
  mkdir -p "$TREE/proc" "$TREE/tmp"; chmod 1777 "$TREE/tmp"
  mount --rbind /dev "$TREE/dev"; mount --make-rslave "$TREE/dev"; mount -t proc proc "$TREE/proc"
  trap 'umount "$TREE/proc" 2>/dev/null; umount -R "$TREE/dev" 2>/dev/null || true' EXIT
  cp /etc/resolv.conf "$TREE/etc/resolv.conf" 2>/dev/null || true
  chroot "$TREE" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive chroot "$TREE" apt-get install -y -qq --no-install-recommends "${TREE_PKGS[@]}"
  chroot "$TREE" apt-get clean
  umount "$TREE/proc"; umount -R "$TREE/dev"; trap - EXIT
  relativize_links
  unshadow_host_dirs
  echo "$PKG_STAMP" > "$TREE/.nimbra-tree"
else
  rm -rf "$TREE.tmp"
  include=$(IFS=,; echo "${TREE_PKGS[*]}")
  mmdebstrap --arch=arm64 --variant=apt --include="$include" bookworm "$TREE.tmp" "${SUITES[@]}"
  rm -rf "$TREE"
  mv "$TREE.tmp" "$TREE"
  relativize_links
  unshadow_host_dirs
  echo "$PKG_STAMP" > "$TREE/.nimbra-tree"
fi
du -sh "$TREE" | sed 's/^/tree size: /'
stage_end
[ "$TREE_ONLY" = 1 ] && exit 0

# ---------------------------------------------------------------- builds
# Both builds compile with -Wall -Wextra on top of the project's own flags, through a
# launcher that keeps each object's diagnostics, so incremental reruns still list every
# warning.
COMMON=(-G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNIMBRA_BUILD_SOFT_PLATFORM=ON
        "-DCMAKE_C_FLAGS=-Wall -Wextra" "-DCMAKE_CXX_FLAGS=-Wall -Wextra"
        -DCMAKE_C_COMPILER_LAUNCHER="$SRC/cmake/record-diagnostics.sh"
        -DCMAKE_CXX_COMPILER_LAUNCHER="$SRC/cmake/record-diagnostics.sh")
X86=$OUT/x86
FULL_TAG=${TAGS%% *}
declare -A BUILD_RESULT=()

# run LOGFILE CMD...: prints the command, logs its output, shows the end of it on failure.
run() {
  local log=$1; shift
  echo "+ $(printf '%q ' "$@")  (log: ${log#$SRC/})"
  if "$@" >"$log" 2>&1; then return 0; fi
  tail -n 40 "$log"
  return 1
}

stage_start "x86 reference build (warnings baseline, media, models)"
x86_ok=0
if run "$LOG/x86-configure.log" cmake -S "$SRC" -B "$X86" "${COMMON[@]}" -DNIMBRA_PLATFORM_TAG="$FULL_TAG" &&
   run "$LOG/x86-build.log" cmake --build "$X86" -j2; then
  x86_ok=1
fi
stage_end

# The arm64 build generates its media with the host's GStreamer too; the x86 build's clips
# are the same data, so they are shared (make-media.sh skips clips that exist).
share_media() {
  local dst=$1/media f
  mkdir -p "$dst"
  for f in "$X86"/media/*; do
    [ -e "$f" ] && [ ! -e "$dst/${f##*/}" ] && ln "$f" "$dst/${f##*/}"
  done
  return 0
}

configure_arm() {
  local tag=$1 dir=$OUT/$1
  run "$LOG/$tag-configure.log" cmake -S "$SRC" -B "$dir" "${COMMON[@]}" \
    -DCMAKE_TOOLCHAIN_FILE="$SRC/cmake/aarch64-linux-gnu.cmake" -DNIMBRA_AARCH64_SYSROOT="$TREE" \
    -DNIMBRA_PLATFORM_TAG="$tag" \
    -DFRAMECOPY_GST_LAUNCH="$TREE/usr/bin/gst-launch-1.0"
}

stage_start "aarch64 build $FULL_TAG (library, Python module, plug-ins, customization, soft platform, tests)"
share_media "$OUT/$FULL_TAG"
if configure_arm "$FULL_TAG" && run "$LOG/$FULL_TAG-build.log" cmake --build "$OUT/$FULL_TAG" -j2; then
  BUILD_RESULT[$FULL_TAG]="built (everything)"
else
  BUILD_RESULT[$FULL_TAG]="FAILED"
fi
stage_end

# Only the core library depends on the tag.
for tag in $TAGS; do
  [ "$tag" = "$FULL_TAG" ] && continue
  stage_start "aarch64 build $tag (core library)"
  if configure_arm "$tag" && run "$LOG/$tag-build.log" cmake --build "$OUT/$tag" -j2 --target nimbra-gst; then
    BUILD_RESULT[$tag]="built (core library)"
  else
    BUILD_RESULT[$tag]="FAILED"
  fi
  stage_end
done

# ---------------------------------------------------------------- tests
# The tests that need no servers and no display.
TESTS=(
  test_config test_dryrun test_validate test_multimerge_desc test_groups test_splice test_rolling
  tarkin_engine tarkin_element tarkin_inspect tarkin_launch_onnx_v8 tarkin_launch_onnx_v5 tarkin_launch_replay
  tarkinvideo_engine tarkinvideo_element tarkinvideo_inspect tarkinvideo_pipeline_onnx
  tarkinvideo_pipeline_replay tarkinvideo_pipeline_none
  customize_api customize_engine customize_example customize_abi
  customize_example_engine_v5 customize_example_engine_v8
  test_soft_elements test_soft_composer test_soft_overlay
  framecopy_element framecopy_reader
)
TEST_RE="^($(IFS='|'; echo "${TESTS[*]}"))\$"

# Test executables run as ctest runs them on x86, through the toolchain file's emulator
# (qemu-aarch64 -L tree). What they start themselves (gst-launch-1.0, nimbra-run, the
# example) is arm64 and goes through binfmt_misc, which takes the tree from
# QEMU_LD_PREFIX. The shell and Python test scripts stay host programs (they only read
# files and start commands); the GStreamer tools they call come from the tree through the
# wrappers put first on PATH (the test commands name the host's /usr/bin/python3 for their
# own scripts). Python run by name, the rolling recorder's merge script (NIMBRA_PYTHON)
# and the Python tests get the tree's interpreter, as on the board.
WRAP=$OUT/bin
mkdir -p "$WRAP"
for tool in gst-launch-1.0 gst-inspect-1.0 python3; do
  printf '#!/bin/sh\nexec qemu-aarch64 -L "%s" "%s/usr/bin/%s" "$@"\n' "$TREE" "$TREE" "$tool" >"$WRAP/$tool"
  chmod +x "$WRAP/$tool"
done
TARGET_PYTHON=$WRAP/python3
rm -f "$OUT/python3-aarch64"

# arm_ctest BUILD_DIR LOG REGEX [VAR=VALUE...]: ctest under emulation, one line per test shown.
arm_ctest() {
  local dir=$1 log=$2 re=$3; shift 3
  echo "+ ctest -R '$re' in ${dir#$SRC/} (GST_REGISTRY_FORK=no, QEMU_LD_PREFIX=tree${*:+, $*})"
  (cd "$dir" &&
   env GST_REGISTRY_FORK=no \
       GST_PLUGIN_SYSTEM_PATH="$TREE/usr/lib/aarch64-linux-gnu/gstreamer-1.0" \
       QEMU_LD_PREFIX="$TREE" \
       PATH="$WRAP:$PATH" \
       NIMBRA_PYTHON="$TARGET_PYTHON" \
       "$@" \
       ctest --output-on-failure -j2 -R "$re") 2>&1 | tee "$log" |
    grep --line-buffered -E '^ *[0-9]+/[0-9]+ Test|tests passed' || true
}

# Emulated code runs 3 to 30 times slower than native code (the DNN tests the most), so
# the build tree's ctest time limits (in the generated CTestTestfile.cmake files) are
# raised tenfold for the emulated runs. A marker keeps a rerun from raising them twice;
# a reconfigure writes the files anew.
scale_timeouts() {
  find "$1" -name CTestTestfile.cmake -print0 |
    xargs -0 perl -0pi -e 'next if /# time limits x10 under emulation/;
      s/TIMEOUT "(\d+)"/"TIMEOUT \"" . ($1 * 10) . "\""/ge; $_ .= "# time limits x10 under emulation\n"'
}

# py_tests BUILD_DIR LOG PYTHON [VAR=VALUE...]: the Python module's tests that need no
# servers, in the environment ctest gives the pytest entry (tests/python/CMakeLists.txt).
PY_TESTS=(test_nimbragst.py test_concate_video.py)
py_tests() {
  local b=$1 log=$2 py=$3; shift 3
  local files=() t
  for t in "${PY_TESTS[@]}"; do files+=("$SRC/tests/python/$t"); done
  echo "+ $py -m pytest ${PY_TESTS[*]} in ${b#$SRC/}/tests/python"
  (cd "$b/tests/python" &&
   env GST_PLUGIN_PATH="$b/platform/gst-soft" GST_REGISTRY_1_0="$b/gst-registry.bin" \
       NIMBRA_MEDIA_DIR="$b/media" NIMBRA_BUILD_DIR="$b" NIMBRA_SOURCE_DIR="$SRC" \
       PYTHONDONTWRITEBYTECODE=1 PYTHONPATH="$b/python" NIMBRA_EXPECT_PYMODULE=1 "$@" \
       "$py" -m pytest -q -rA -p no:cacheprovider "${files[@]}") >"$log" 2>&1 || true
  tail -n 1 "$log"
}
# summarize_pytest LOG: "name status" per test.
summarize_pytest() { sed -nE 's/^(PASSED|FAILED|ERROR|SKIPPED|XFAIL|XPASS) [^ ]*\/(test_[^ ]+).*/\2 \1/p' "$1"; }

# summarize_ctest LOG: "name status" per test.
summarize_ctest() { sed -nE 's/^ *[0-9]+\/[0-9]+ Test +#[0-9]+: ([^ ]+) \.*[ *]*([A-Za-z][A-Za-z ]*[a-z]).*/\1 \2/p' "$1"; }

declare -A X86_STATUS=() ARM_STATUS=() TAG_TEST_RESULT=() X86_PY=() ARM_PY=()
PY_RESULT="not run"
# Core tests that hold for every tag (the others expect the ub2404 elements).
TAG_TESTS=(test_config test_splice test_groups)
if [ "$RUN_TESTS" = 1 ]; then
  stage_start "tests on x86 (reference pass/fail)"
  if [ "$x86_ok" = 1 ]; then
    echo "+ ctest -R <${#TESTS[@]} tests> in ${X86#$SRC/}"
    (cd "$X86" && ctest --output-on-failure -j2 -R "$TEST_RE") >"$LOG/x86-tests.log" 2>&1 || true
    while read -r n st; do X86_STATUS[$n]=$st; done < <(summarize_ctest "$LOG/x86-tests.log")
    tail -n 3 "$LOG/x86-tests.log"
  fi
  stage_end

  stage_start "tests under qemu-aarch64 ($FULL_TAG)"
  if [ "${BUILD_RESULT[$FULL_TAG]}" != FAILED ]; then
    scale_timeouts "$OUT/$FULL_TAG"
    arm_ctest "$OUT/$FULL_TAG" "$LOG/$FULL_TAG-tests.log" "$TEST_RE"
    while read -r n st; do ARM_STATUS[$n]=$st; done < <(summarize_ctest "$LOG/$FULL_TAG-tests.log")
    # The module imports in the tree's own interpreter and reaches the library.
    echo "+ qemu-aarch64 -L tree python3.11 -c 'import nimbragst'"
    if out=$(env PYTHONPATH="$OUT/$FULL_TAG/python" GST_REGISTRY_FORK=no \
               GST_PLUGIN_SYSTEM_PATH="$TREE/usr/lib/aarch64-linux-gnu/gstreamer-1.0" \
               qemu-aarch64 -L "$TREE" "$TREE/usr/bin/python3.11" -c \
               'import platform, nimbragst; print(platform.machine(), nimbragst.__file__.rsplit("/", 1)[1])' 2>&1); then
      PY_RESULT="imports ($out)"
    else
      PY_RESULT="FAILED: $out"
    fi
    echo "Python module: $PY_RESULT"
  fi
  stage_end

  stage_start "Python tests on x86 and under qemu-aarch64 ($FULL_TAG)"
  if [ "$x86_ok" = 1 ]; then
    py_tests "$X86" "$LOG/x86-pytest.log" /usr/bin/python3
    while read -r n st; do X86_PY[$n]=$st; done < <(summarize_pytest "$LOG/x86-pytest.log")
  fi
  if [ "${BUILD_RESULT[$FULL_TAG]}" != FAILED ]; then
    py_tests "$OUT/$FULL_TAG" "$LOG/$FULL_TAG-pytest.log" "$TARGET_PYTHON" \
      GST_REGISTRY_FORK=no GST_PLUGIN_SYSTEM_PATH="$TREE/usr/lib/aarch64-linux-gnu/gstreamer-1.0" \
      QEMU_LD_PREFIX="$TREE" PATH="$WRAP:$PATH" NIMBRA_PYTHON="$TARGET_PYTHON"
    while read -r n st; do ARM_PY[$n]=$st; done < <(summarize_pytest "$LOG/$FULL_TAG-pytest.log")
  fi
  stage_end

  # The other tags' libraries under the full build's tag-neutral core tests: the test
  # executables find the tag's libnimbra-gst first through LD_LIBRARY_PATH.
  for tag in $TAGS; do
    [ "$tag" = "$FULL_TAG" ] && continue
    case "${BUILD_RESULT[$tag]}/${BUILD_RESULT[$FULL_TAG]}" in *FAILED*) continue ;; esac
    stage_start "tests under qemu-aarch64 with the $tag library"
    arm_ctest "$OUT/$FULL_TAG" "$LOG/$tag-tests.log" "^($(IFS='|'; echo "${TAG_TESTS[*]}"))\$" \
      LD_LIBRARY_PATH="$OUT/$tag/modules/origin/src"
    p=0; f=0
    while read -r n st; do if [ "$st" = Passed ]; then p=$((p + 1)); else f=$((f + 1)); fi; done \
      < <(summarize_ctest "$LOG/$tag-tests.log")
    f=$((f + ${#TAG_TESTS[@]} - p - f))
    TAG_TEST_RESULT[$tag]="$p passed, $f failed (${TAG_TESTS[*]})"
    stage_end
  done
fi

# ---------------------------------------------------------------- warnings
# One line per distinct warning (file:line:col: warning: text [-Wflag]), with the tree and
# the build and source directories taken out of the paths.
warnings_of() {
  local dir
  for dir in "$@"; do
    [ -d "$dir" ] || continue
    find "$dir" -name '*.diag' -size +0 -print0 | xargs -0 -r cat |
      grep -E ': warning: ' | sed -e "s#$TREE##g" -e "s#$dir/##g" -e "s#$SRC/##g" || true
  done | sort -u
}
say "warnings: x86 against aarch64"
warnings_of "$X86" >"$OUT/warnings-x86.txt"
arm_dirs=()
for tag in $TAGS; do arm_dirs+=("$OUT/$tag"); done
warnings_of "${arm_dirs[@]}" >"$OUT/warnings-aarch64.txt"
comm -13 "$OUT/warnings-x86.txt" "$OUT/warnings-aarch64.txt" >"$OUT/warnings-new.txt"
n_x86=$(wc -l <"$OUT/warnings-x86.txt"); n_arm=$(wc -l <"$OUT/warnings-aarch64.txt")
n_new=$(wc -l <"$OUT/warnings-new.txt")
echo "x86: $n_x86 distinct warnings, aarch64: $n_arm, new on aarch64: $n_new"
[ "$n_new" -gt 0 ] && sed 's/^/  new: /' "$OUT/warnings-new.txt"

# ---------------------------------------------------------------- summary
status=0
echo
echo "================ cross-aarch64 summary ================"
for s in "${STAGES[@]}"; do printf '  %-78s %5ss\n' "$s" "${STAGE_SECS[$s]}"; done
echo
if [ "$x86_ok" != 1 ]; then
  echo "x86 reference build: FAILED (the comparisons below are incomplete)"
  status=1
fi
for tag in $TAGS; do
  line="tag $tag: ${BUILD_RESULT[$tag]}"
  [ "${BUILD_RESULT[$tag]}" = FAILED ] && status=1
  if [ "$RUN_TESTS" = 1 ] && [ "$tag" != "$FULL_TAG" ]; then
    line+="; tests with its library: ${TAG_TEST_RESULT[$tag]:-not run}"
    case "${TAG_TEST_RESULT[$tag]:-not run}" in "${#TAG_TESTS[@]} passed"*) ;; *) status=1 ;; esac
  fi
  echo "$line"
done
if [ "$RUN_TESTS" = 1 ]; then
  pass=0; fail=0; differ=()
  for t in "${TESTS[@]}"; do
    a=${ARM_STATUS[$t]:-not run}; x=${X86_STATUS[$t]:-not run}
    if [ "$a" = Passed ]; then pass=$((pass + 1)); else fail=$((fail + 1)); fi
    [ "$a" != "$x" ] && differ+=("$t (aarch64: $a, x86: $x)")
  done
  xp=0; for t in "${TESTS[@]}"; do [ "${X86_STATUS[$t]:-}" = Passed ] && xp=$((xp + 1)); done
  echo "tests under qemu ($FULL_TAG build): $pass passed, $fail failed of ${#TESTS[@]} (x86: $xp passed)"
  echo "Python module under qemu: $PY_RESULT"
  case "$PY_RESULT" in imports*) ;; *) status=1 ;; esac
  # Python tests: every test either run saw, by name.
  pyp=0; pyf=0; xpyp=0
  while IFS= read -r t; do
    [ -n "$t" ] || continue
    a=${ARM_PY[$t]:-not run}; x=${X86_PY[$t]:-not run}
    if [ "$a" = PASSED ]; then pyp=$((pyp + 1)); else pyf=$((pyf + 1)); fi
    [ "$x" = PASSED ] && xpyp=$((xpyp + 1))
    [ "$a" != "$x" ] && differ+=("$t (aarch64: $a, x86: $x)")
  done < <(printf '%s\n' "${!X86_PY[@]}" "${!ARM_PY[@]}" | sort -u)
  echo "Python tests under qemu (${PY_TESTS[*]}): $pyp passed, $pyf failed (x86: $xpyp passed)"
  [ $((pyp + pyf)) -gt 0 ] || { echo "  no Python test ran"; status=1; }
  if [ ${#differ[@]} -gt 0 ]; then
    status=1
    printf '  differs from x86: %s\n' "${differ[@]}"
  else
    echo "  same pass/fail as on x86"
  fi
fi
echo "new warnings on aarch64: $n_new (x86 $n_x86, aarch64 $n_arm; lists in ${OUT#$SRC/}/warnings-*.txt)"
[ "$n_new" -gt 0 ] && status=1
echo "logs: ${LOG#$SRC/}/"
exit $status
