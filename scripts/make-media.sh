#!/usr/bin/env bash
# Generates the test, demo and benchmark clips with GStreamer's own encoders.
#
#   make-media.sh OUTDIR
#
# Every clip is written under a temporary name and renamed when gst-launch has
# finished, so a clip that exists is complete and reruns skip it. The temporary
# name carries the PID so two builds sharing OUTDIR never write the same file.
# Clips are short and use the fastest presets: the whole set takes well under a
# minute on two cores.
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 OUTDIR" >&2
  exit 2
fi
OUT=$1
mkdir -p "$OUT"
CURRENT_TMP=
trap 'if [ -n "$CURRENT_TMP" ]; then rm -f "$CURRENT_TMP" "$CURRENT_TMP.log"; fi' EXIT

GST_LAUNCH=${GST_LAUNCH:-gst-launch-1.0}
GST_INSPECT=${GST_INSPECT:-gst-inspect-1.0}

have() { "$GST_INSPECT" --exists "$1" 2>/dev/null || "$GST_INSPECT" "$1" >/dev/null 2>&1; }

missing=()
for el in videotestsrc audiotestsrc videoconvert x264enc x265enc avenc_aac h264parse h265parse \
          mp4mux filesink; do
  have "$el" || missing+=("$el")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "make-media: missing GStreamer element(s): ${missing[*]}" >&2
  echo "make-media: install gstreamer1.0-plugins-base/-good/-ugly, gstreamer1.0-libav" >&2
  exit 1
fi

# The clock overlay lives in the pango plug-in (gstreamer1.0-x on Debian); without it the
# clips still move, they just carry no timestamp.
overlay() {
  local size=$1
  if have timeoverlay; then
    echo "timeoverlay font-desc=\"Sans ${size}\" halignment=left valignment=top shaded-background=true"
  else
    echo "identity"
  fi
}

# gen NAME PIPELINE: the description ends where the file sink goes, or names it @SINK@
# when a muxer with several inputs sits in the middle.
gen() {
  local name=$1 pipeline=$2
  local dst="$OUT/$name" tmp="$OUT/.$name.$$.partial"
  if [ -s "$dst" ]; then
    return 0
  fi
  case $pipeline in
    *@SINK@*) ;;
    *) pipeline="$pipeline ! @SINK@" ;;
  esac
  CURRENT_TMP=$tmp
  pipeline=${pipeline//@SINK@/filesink location=\"\$tmp\"}
  # The description is split into words on purpose: that is how gst-launch takes it.
  if ! eval "\"$GST_LAUNCH\" -q $pipeline" >"$tmp.log" 2>&1; then
    echo "make-media: failed to generate $name:" >&2
    cat "$tmp.log" >&2
    rm -f "$tmp.log"
    rm -f "$tmp"
    exit 1
  fi
  if [ ! -s "$tmp" ]; then
    echo "make-media: $name came out empty" >&2
    exit 1
  fi
  rm -f "$tmp.log"
  mv -f "$tmp" "$dst"
  CURRENT_TMP=
  echo "make-media: $dst ($(stat -c %s "$dst") bytes)"
}

# src W H FPS FRAMES: a scrolling colour-bar test picture with a clock.
src() {
  echo "videotestsrc num-buffers=$4 pattern=smpte horizontal-speed=4 ! \
        video/x-raw,format=I420,width=$1,height=$2,framerate=$3/1 ! $(overlay $(( $2 / 20 )))"
}

X264="x264enc speed-preset=superfast"
X265="x265enc speed-preset=ultrafast"

gen h264_1080p.mp4 "$(src 1920 1080 25 125) ! $X264 key-int-max=25 ! h264parse ! mp4mux"
gen h265_1080p.mp4 "$(src 1920 1080 25 125) ! $X265 key-int-max=25 ! h265parse ! mp4mux"
gen h264_small.mp4 "$(src 320 240 25 100) ! $X264 key-int-max=25 ! h264parse ! mp4mux"
gen h265_small.mp4 "$(src 320 240 25 100) ! $X265 key-int-max=25 ! h265parse ! mp4mux"

# 441 samples a buffer make 400 buffers exactly 4 s at 44.1 kHz.
gen h264_aac_small.mp4 "$(src 320 240 25 100) ! $X264 key-int-max=25 ! h264parse ! queue ! \
     mp4mux name=mux ! @SINK@ audiotestsrc num-buffers=400 samplesperbuffer=441 wave=sine freq=440 ! \
     audio/x-raw,rate=44100,channels=2 ! audioconvert ! avenc_aac ! aacparse ! queue ! mux."

# Raw byte-streams for code that splits access units itself: no B-frames, so decode
# order equals display order, and parameter sets repeated on every keyframe.
gen h265_small.h265 "$(src 320 240 25 100) ! $X265 key-int-max=25 option-string=bframes=0:repeat-headers=1 ! \
     h265parse config-interval=-1 ! video/x-h265,stream-format=byte-stream,alignment=au"
gen h265_1080p.h265 "$(src 1920 1080 25 75) ! $X265 key-int-max=25 option-string=bframes=0:repeat-headers=1 ! \
     h265parse config-interval=-1 ! video/x-h265,stream-format=byte-stream,alignment=au"

# Demo clip: colour bars with a bouncing ball and a clock on top.
if have compositor; then
  gen sample_h265.mp4 "compositor name=comp background=black sink_1::xpos=40 sink_1::ypos=180 ! \
       video/x-raw,width=1280,height=720,framerate=25/1 ! videoconvert ! $(overlay 36) ! \
       videoconvert ! video/x-raw,format=I420 ! $X265 key-int-max=25 ! h265parse ! mp4mux ! @SINK@ \
       videotestsrc num-buffers=250 pattern=smpte ! video/x-raw,width=1280,height=720,framerate=25/1 ! comp.sink_0 \
       videotestsrc num-buffers=250 pattern=ball motion=wavy background-color=0x00000000 ! \
       video/x-raw,format=AYUV,width=1200,height=480,framerate=25/1 ! comp.sink_1"
else
  gen sample_h265.mp4 "$(src 1280 720 25 250) ! $X265 key-int-max=25 ! h265parse ! mp4mux"
fi

gen h264_bench_1080p.mp4 "$(src 1920 1080 25 300) ! $X264 key-int-max=25 ! h264parse ! mp4mux"
