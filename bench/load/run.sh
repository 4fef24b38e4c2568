#!/usr/bin/env bash
# Load throughput: kellovaran-cli load of a tape image against dd of the same bytes with the
# same block size, both from and to tmpfs (/dev/shm) unless BENCH_DIR names another place,
# alternating, three rounds. Prints both throughputs, their ratio, and the peak RSS of the
# load for this image and for one a sixteenth of its size (the load keeps one block in
# memory, whatever the tape's size). The load flushes every file to disk before it reports
# it, so dd does too (conv=fsync); on tmpfs a flush costs nothing, on a disk it is the
# price of a copy that survives a power cut.
#
# The plain load runs with --no-report. The load with checksums (the default: the SHA-256
# of every file, hashed on a second thread while the copy goes on, and the JSON report) is
# timed against the slower of dd and sha256sum over the same payload: it should take no
# longer (ratio <= 1.05).
#
#   bench/load/run.sh [BUILD_DIR]        (default: build)
#   SIZE_MIB=1024 FILES=8 ROUNDS=3 bench/load/run.sh
#   BENCH_DIR=/var/tmp bench/load/run.sh   (on disk)
set -euo pipefail

BUILD=${1:-build}
CLI=$(realpath "$BUILD/cli/kellovaran-cli")
SIZE_MIB=${SIZE_MIB:-1024}
FILES=${FILES:-8}
ROUNDS=${ROUNDS:-3}
BS=262144

[ -x "$CLI" ] || { echo "no $CLI: build kellovaran-cli first" >&2; exit 1; }
if [ ! -x /usr/bin/time ]; then
  apt-get install -y time >/dev/null
fi

WORK=$(mktemp -d "${BENCH_DIR:-/dev/shm}/kv-bench.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
cd "$WORK"

now() { date +%s%N; }
mbps() { awk -v b="$1" -v ns="$2" 'BEGIN { printf "%.0f", b / (ns / 1e9) / 1e6 }'; }

# The payload: FILES files of random bytes, not a multiple of the block size, so every tape
# file ends in a short record.
echo "Making $SIZE_MIB MiB of payload in $FILES files on $WORK ..."
mkdir payload
per=$(( SIZE_MIB * 1048576 / FILES - 12345 ))
for i in $(seq -w 1 "$FILES"); do
  head -c "$per" /dev/urandom > "payload/f$i"
done
BYTES=$(( per * FILES ))
"$CLI" mktape --block-size "$BS" image.tap payload/f* >/dev/null

small_per=$(( per / 16 ))
mkdir small
for i in $(seq -w 1 "$FILES"); do
  head -c "$small_per" "payload/f$i" > "small/f$i"
done
"$CLI" mktape --block-size "$BS" small.tap small/f* >/dev/null
ls -l image.tap small.tap | awk '{ print "  " $5 " bytes  " $9 }'

# One untimed pass of each first: tmpfs hands out fresh pages more slowly the first time, and
# whichever ran first would pay for it.
mkdir out ddout
"$CLI" load --tape-image image.tap --dir out >/dev/null
for f in payload/f*; do dd if="$f" of="ddout/${f##*/}" bs="$BS" conv=fsync status=none; done
sha256sum payload/f* >/dev/null
rm -rf out ddout

load_ns=()
sum_load_ns=()
dd_ns=()
sha_ns=()
rss_kb=()
for round in $(seq 1 "$ROUNDS"); do
  rm -rf out && mkdir out
  t0=$(now)
  /usr/bin/time -f "%M" -o rss.txt "$CLI" load --tape-image image.tap --dir out --no-report >load.log
  t1=$(now)
  grep -q "Files read 		: $FILES" load.log || { echo "load did not copy $FILES files" >&2; tail load.log >&2; exit 1; }
  first=$(ls payload | head -n 1)
  cmp -s "payload/$first" out/file0000 || { echo "load copied different bytes" >&2; exit 1; }
  load_ns+=($(( t1 - t0 )))
  rss_kb+=($(cat rss.txt))
  rm -rf out

  rm -rf ddout && mkdir ddout
  t0=$(now)
  for f in payload/f*; do
    dd if="$f" of="ddout/${f##*/}" bs="$BS" conv=fsync status=none
  done
  t1=$(now)
  dd_ns+=($(( t1 - t0 )))
  rm -rf ddout

  rm -rf out && mkdir out
  t0=$(now)
  "$CLI" load --tape-image image.tap --dir out >load.log
  t1=$(now)
  sum_load_ns+=($(( t1 - t0 )))
  (cd out && sha256sum --quiet -c file.sha256) || { echo "checksums of the load do not verify" >&2; exit 1; }
  rm -rf out

  t0=$(now)
  sha256sum payload/f* >/dev/null
  t1=$(now)
  sha_ns+=($(( t1 - t0 )))

  echo "round $round: load $(mbps $BYTES ${load_ns[-1]}) MB/s (peak RSS ${rss_kb[-1]} KiB)," \
       "with checksums $(mbps $BYTES ${sum_load_ns[-1]}) MB/s, dd $(mbps $BYTES ${dd_ns[-1]}) MB/s," \
       "sha256sum $(mbps $BYTES ${sha_ns[-1]}) MB/s"
done

rm -rf out && mkdir out
/usr/bin/time -f "%M" -o rss.txt "$CLI" load --tape-image small.tap --dir out --no-report >/dev/null
small_rss=$(cat rss.txt)

median() { printf "%s\n" "$@" | sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
load_med=$(median "${load_ns[@]}")
dd_med=$(median "${dd_ns[@]}")
sum_load_med=$(median "${sum_load_ns[@]}")
sha_med=$(median "${sha_ns[@]}")
slower=$(( dd_med > sha_med ? dd_med : sha_med ))
echo
echo "payload: $BYTES bytes in $FILES files, records of $BS bytes, $ROUNDS rounds (medians)"
echo "kellovaran-cli load : $(mbps $BYTES "$load_med") MB/s"
echo "dd bs=$BS        : $(mbps $BYTES "$dd_med") MB/s"
awk -v l="$load_med" -v d="$dd_med" 'BEGIN { printf "ratio load/dd       : %.2f\n", d / l }'
echo "load with checksums : $(mbps $BYTES "$sum_load_med") MB/s"
echo "sha256sum           : $(mbps $BYTES "$sha_med") MB/s"
awk -v l="$sum_load_med" -v m="$slower" \
  'BEGIN { printf "time load with checksums / max(dd, sha256sum) : %.2f (target <= 1.05)\n", l / m }'
echo "peak RSS of load    : $(median "${rss_kb[@]}") KiB for $SIZE_MIB MiB, $small_rss KiB for $(( SIZE_MIB / 16 )) MiB"
