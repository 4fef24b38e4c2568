#!/usr/bin/env bash
# Load and capture against the plain tools, per record size: one tape file of SIZE_MIB MiB
# of random payload, written by mktape in records of N bytes for each N of SIZES, all on
# tmpfs (/dev/shm) unless BENCH_DIR names another place.
#
#   load     kellovaran-cli load --no-report  vs  dd bs=N conv=fsync of the payload
#            (throughput ratio load/dd: 1 is as fast as dd)
#   load+sum kellovaran-cli load (checksums and report, the default)  vs  the slower of
#            that dd and openssl dgst -sha256 of the payload (time ratio: 1 is no slower)
#   capture  kellovaran-cli capture (the image, its checksum and report)  vs  the slower of
#            dd bs=1M conv=fsync of the image and openssl dgst -sha256 of it (time ratio)
#   bag      kellovaran-cli load --bag (SHA-256 and SHA-512, manifests, tag files)  vs
#            load+sum (time ratio: what making the bag costs over the checksums alone)
#
# and the peak RSS of each (/usr/bin/time -f %M). The load and the capture flush what they
# write before they report it, so dd does too (conv=fsync); on tmpfs a flush costs nothing,
# on a disk it is the price of a copy that survives a power cut. Per record size one
# untimed warm-up round (tmpfs hands out fresh pages more slowly the first time; it also
# checks that the copies are right), then ROUNDS timed rounds, the contenders one after the
# other, in reverse order every second round; the table gives medians.
#
#   bench/load/run.sh [BUILD_DIR]                      (default: build)
#   SIZE_MIB=256 ROUNDS=3 bench/load/run.sh build-perf
#   SIZES="4096 262144" BENCH_DIR=/var/tmp bench/load/run.sh   (on disk)
set -euo pipefail

BUILD=${1:-build}
CLI=$(realpath "$BUILD/cli/kellovaran-cli")
CHECK_BAG=$(realpath "$(dirname "$0")/../../tests/cli/check-bag.sh")
SIZE_MIB=${SIZE_MIB:-1024}
ROUNDS=${ROUNDS:-5}
SIZES=${SIZES:-512 4096 65536 262144 1048576}

[ -x "$CLI" ] || { echo "no $CLI: build kellovaran-cli first" >&2; exit 1; }
missing=()
[ -x /usr/bin/time ] || missing+=(time)
command -v openssl >/dev/null || missing+=(openssl)
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi

WORK=$(mktemp -d "${BENCH_DIR:-/dev/shm}/kv-bench.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
cd "$WORK"

# Not a multiple of any record size, so the tape file ends in a short record.
BYTES=$(( SIZE_MIB * 1048576 - 12345 ))
echo "Making $BYTES bytes of payload on $WORK ..."
head -c "$BYTES" /dev/urandom > payload

# Runs one contender: its wall time (ns) into ns.txt, its peak RSS (KiB) into rss.txt.
timed() {
  local t0 t1
  t0=$(date +%s%N)
  /usr/bin/time -f "%M" -o rss.txt "$@"
  t1=$(date +%s%N)
  echo $(( t1 - t0 )) > ns.txt
}

# The contenders, by name. Each leaves nothing behind but ns.txt and rss.txt.
run() {
  local bs=$1 name=$2
  rm -rf out ddout bag copy.tap copy.tap.sha256 copy.tap.json
  case $name in
    load)
      mkdir out
      timed "$CLI" load --tape-image image.tap --dir out --no-report >load.log ;;
    loadsum)
      mkdir out
      timed "$CLI" load --tape-image image.tap --dir out >load.log ;;
    loadbag)
      timed "$CLI" load --tape-image image.tap --dir bag --bag >load.log ;;
    dd)
      mkdir ddout
      timed dd if=payload of=ddout/f bs="$bs" conv=fsync status=none ;;
    sha)
      timed openssl dgst -sha256 payload >/dev/null ;;
    capture)
      timed "$CLI" capture --tape-image image.tap copy.tap >capture.log ;;
    ddimage)
      timed dd if=image.tap of=copy.tap bs=1M conv=fsync status=none ;;
    shaimage)
      timed openssl dgst -sha256 image.tap >/dev/null ;;
  esac
  rm -rf out ddout bag copy.tap copy.tap.sha256 copy.tap.json
}

# The warm-up round, which also checks that each copy is the original.
check() {
  mkdir out
  "$CLI" load --tape-image image.tap --dir out >load.log ||
    { echo "load failed" >&2; tail load.log >&2; exit 1; }
  cmp -s payload out/file0000 || { echo "load copied different bytes" >&2; exit 1; }
  (cd out && sha256sum --quiet -c file.sha256) || { echo "checksums of the load do not verify" >&2; exit 1; }
  rm -rf out
  "$CLI" load --tape-image image.tap --dir bag --bag >load.log ||
    { echo "load --bag failed" >&2; tail load.log >&2; exit 1; }
  bash "$CHECK_BAG" bag || { echo "the bag does not validate" >&2; exit 1; }
  rm -rf bag
  "$CLI" capture --tape-image image.tap copy.tap >capture.log ||
    { echo "capture failed" >&2; tail capture.log >&2; exit 1; }
  cmp -s image.tap copy.tap || { echo "capture wrote a different image" >&2; exit 1; }
  sha256sum --quiet -c copy.tap.sha256 || { echo "checksum of the capture does not verify" >&2; exit 1; }
  rm -f copy.tap copy.tap.sha256 copy.tap.json
}

median() { printf "%s\n" "$@" | sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
mbps() { awk -v b="$1" -v ns="$2" 'BEGIN { printf "%.0f", b / (ns / 1e9) / 1e6 }'; }
secs() { awk -v ns="$1" 'BEGIN { printf "%.2f", ns / 1e9 }'; }
maxof() { echo $(( $1 > $2 ? $1 : $2 )); }

contenders=(load dd loadsum sha capture ddimage shaimage loadbag)
rows=()
for bs in $SIZES; do
  rm -f image.tap
  "$CLI" mktape --block-size "$bs" image.tap payload >/dev/null
  echo "records of $bs bytes: image $(stat -c %s image.tap) bytes; warm-up ..."
  check
  for c in "${contenders[@]}"; do run "$bs" "$c"; done

  declare -A ns=() rss=()
  for round in $(seq 1 "$ROUNDS"); do
    order=("${contenders[@]}")
    if (( round % 2 == 0 )); then
      order=()
      for (( i = ${#contenders[@]} - 1; i >= 0; --i )); do order+=("${contenders[i]}"); done
    fi
    line="  round $round:"
    for c in "${order[@]}"; do
      run "$bs" "$c"
      ns[$c]+="$(cat ns.txt) "
      rss[$c]+="$(cat rss.txt) "
      line+=" $c $(secs "$(cat ns.txt)")s"
    done
    echo "$line"
  done

  declare -A med=() medrss=()
  for c in "${contenders[@]}"; do
    # shellcheck disable=SC2086
    med[$c]=$(median ${ns[$c]})
    # shellcheck disable=SC2086
    medrss[$c]=$(median ${rss[$c]})
  done
  load_ratio=$(awk -v l="${med[load]}" -v d="${med[dd]}" 'BEGIN { printf "%.2f", d / l }')
  sum_ratio=$(awk -v l="${med[loadsum]}" -v m="$(maxof "${med[dd]}" "${med[sha]}")" 'BEGIN { printf "%.2f", l / m }')
  bag_ratio=$(awk -v b="${med[loadbag]}" -v l="${med[loadsum]}" 'BEGIN { printf "%.2f", b / l }')
  cap_ratio=$(awk -v c="${med[capture]}" -v m="$(maxof "${med[ddimage]}" "${med[shaimage]}")" 'BEGIN { printf "%.2f", c / m }')
  rows+=("$(printf "%8s | %6s %6s %5s | %6s %6s %6s %5s | %6s %6s %6s %5s | %6s %5s | %6s %6s %6s %6s %6s %6s %6s" \
    "$bs" "$(mbps "$BYTES" "${med[load]}")" "$(mbps "$BYTES" "${med[dd]}")" "$load_ratio" \
    "$(secs "${med[loadsum]}")" "$(secs "${med[dd]}")" "$(secs "${med[sha]}")" "$sum_ratio" \
    "$(secs "${med[capture]}")" "$(secs "${med[ddimage]}")" "$(secs "${med[shaimage]}")" "$cap_ratio" \
    "$(secs "${med[loadbag]}")" "$bag_ratio" \
    "${medrss[load]}" "${medrss[loadsum]}" "${medrss[capture]}" "${medrss[dd]}" "${medrss[sha]}" \
    "${medrss[ddimage]}" "${medrss[shaimage]}")")
  unset ns rss med medrss
done

echo
echo "one tape file of $BYTES bytes of random payload, $ROUNDS rounds (medians), on $(df --output=fstype "$WORK" | tail -n 1)"
echo "  load: MB/s of load --no-report and of dd bs=N, ratio load/dd (throughput)"
echo "  load+sum: s of load with checksums, dd, openssl sha256 of the payload; ratio load/max(dd, sha)"
echo "  capture: s of capture, dd bs=1M of the image, openssl sha256 of it; ratio capture/max(dd, sha)"
echo "  bag: s of load --bag; ratio bag/load+sum"
echo "  peak RSS KiB: load, load+sum, capture, dd, sha, dd of the image, sha of the image"
printf "%8s | %6s %6s %5s | %6s %6s %6s %5s | %6s %6s %6s %5s | %6s %5s | %s\n" "record" "load" "dd" "ratio" \
  "l+sum" "dd" "sha" "ratio" "capt" "dd" "sha" "ratio" "bag" "ratio" "peak RSS KiB"
for r in "${rows[@]}"; do echo "$r"; done
