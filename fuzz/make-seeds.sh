#!/usr/bin/env bash
# Writes the seed corpora of the fuzz targets into DIR/selection, DIR/image_drive (SIMH),
# DIR/image_e11, DIR/image_aws, DIR/image_het and DIR/image_tpc.
# Image seeds are: options byte, operation count, two bytes per operation, the image
# (see fuzz/FuzzImageDrive.cpp).
set -euo pipefail
dir="${1:?usage: fuzz/make-seeds.sh DIR}"
mkdir -p "$dir/selection" "$dir/image_drive" "$dir/image_e11" "$dir/image_aws" "$dir/image_het" "$dir/image_tpc"

n=0
for text in '*' ' * ' '0-1,5, 7-8' '2147483647' '0-2147483647' '3, 1-2, 2-9,100' \
            '2147483646-2147483647,0' '5-3' '1,,2' '2147483648' '' '1-' '1, *' '07 - 08'; do
  printf '%s' "$text" >"$dir/selection/seed$((n++))"
done

# Escapes for printf: a little-endian word, n bytes of one value, a whole record.
word() { printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($1 & 255)) $(($1 >> 8 & 255)) $(($1 >> 16 & 255)) $(($1 >> 24 & 255)); }
bytes() { local s; s=$(printf '\\x%02x' "$2"); local i; for ((i = 0; i < $1; i++)); do printf '%s' "$s"; done; }
# record LENGTH FILL [CLASS]
record() {
  local w=$(($1 | ${3:-0} << 28))
  word $w; bytes "$1" "$2"; (($1 & 1)) && bytes 1 0; word $w
}
tm() { word 0; }
eom() { word 0xFFFFFFFF; }
gap() { word 0xFFFFFFFE; }
halfgap() { word 0xFFFEFFFF; }
# image NAME OPTIONS "OPS" IMAGE: OPS as pairs of decimal numbers
image() {
  local ops=($3) head
  head=$(printf '\\x%02x\\x%02x' "$2" $((${#ops[@]} / 2)))
  local op; for op in "${ops[@]}"; do head+=$(printf '\\x%02x' "$op"); done
  printf "$head$4" >"$dir/${5:-image_drive}/$1"
}

# Operation bytes: 0 read (arg: index of the size), 2 read whole blocks, 3 space filemarks,
# 4 space records (arg signed), 5 rewind, 6 block size / drive parameters, 7 unload, load,
# other.
files="$(record 80 0x41)$(record 81 0x42)$(tm)$(record 512 0x43)$(record 10 0x44 8)$(tm)$(tm)$(eom)"
image variable 0 "0 136 0 132 3 1 4 255 0 8 5 0 4 3 4 253 0 7" "$files"
image fixed80 6 "2 3 2 131 2 0 0 4 6 0 2 0 5 0 6 9" \
  "$(record 80 0x31)$(record 80 0x32)$(gap)$(record 80 0x33)$(record 100 0x34)$(tm)$(record 80 0x35)"
image long 24 "0 6 0 135 5 0 0 134 4 255 0 7 3 127 4 128" \
  "$(gap)$(halfgap)$(record 17000 0x61)$(tm)$(record 17001 0x62)$(gap)$(eom)"
image truncated 0 "0 4 0 4 4 1 4 255 5 0" "$(record 20 0x71)$(word 40)$(bytes 12 0x72)"
image inconsistent 0 "0 4 4 2 0 4 4 254" "$(record 6 0x73)$(word 6)$(bytes 6 0x74)$(word 7)$(tm)"
image marker 0 "0 4 0 4 3 2 5 0" "$(record 3 0x75)$(word 0xF0000000)$(record 3 0x76)"
image empty 0 "0 1 3 1 4 1 4 255 6 1 6 16" ""
image unload 0 "7 0 0 1 6 1 4 1 7 2 7 1 0 1 7 0 7 0 5 0" "$(record 1 0x77)$(tm)"
# Bad records of a private and of the bad-data class, read whole: their stored bytes come
# with the data error.
image badclass 0 "" "$(record 3 0x78 1)$(tm)$(record 5 0x79 8)$(tm)$(eom)"

# E11: SIMH's words without the pad byte; the SIMH seeds serve as well.
e11rec() { word "$1"; bytes "$1" "$2"; word "$1"; }
cp "$dir"/image_drive/* "$dir/image_e11/"
image odd 0 "0 4 0 4 4 255 4 254 0 4 3 1" "$(e11rec 81 0x42)$(e11rec 3 0x43)$(word 0)$(e11rec 5 0x44)$(word 0)$(eom)" image_e11

# AWS and HET: a 6-byte header per chunk (length, previous length, flags, 0). Flags: 0x80
# begins a record, 0x20 ends it, 0x40 tapemark; HET adds 0x01 zlib, 0x02 bzip2.
half() { printf '\\x%02x\\x%02x' $(($1 & 255)) $(($1 >> 8 & 255)); }
chunk() { half "$1"; half "$2"; printf '\\x%02x\\x00' "$3"; }
awsrec() { chunk "$1" "$2" 0xa0; bytes "$1" "$3"; }
awsmark() { chunk 0 "$1" 0x40; }
aws="$(awsrec 80 0 0x41)$(awsrec 81 80 0x42)$(awsmark 81)$(chunk 30 0 0x80)$(bytes 30 0x43)$(chunk 20 30 0x20)$(bytes 20 0x44)$(awsmark 20)$(awsmark 0)"
for f in image_aws image_het; do
  image variable 0 "0 136 0 132 3 1 4 255 0 8 5 0 4 3 4 253 0 7" "$aws" $f
  image fixed80 6 "2 3 2 131 2 0 0 4 6 0 2 0 5 0 6 9" "$(awsrec 80 0 0x31)$(awsrec 80 80 0x32)$(awsmark 80)" $f
  image truncated 0 "0 4 0 4 4 1 4 255 5 0" "$(awsrec 20 0 0x71)$(chunk 40 20 0xa0)$(bytes 12 0x72)" $f
done
# "hello" compressed with zlib and with bzip2, each as one record.
zhello='\x78\x9c\xcb\x48\xcd\xc9\xc9\x07\x00\x06\x2c\x02\x15'
bhello='\x42\x5a\x68\x39\x31\x41\x59\x26\x53\x59\x19\x31\x65\x3d\x00\x00\x00\x81\x00\x02\x44\xa0\x00\x21\x9a\x68\x33\x4d\x07\x33\x8b\xb9\x22\x9c\x28\x48\x0c\x98\xb2\x9e\x80'
image compressed 0 "0 4 0 4 0 4 4 255 4 254 0 4 3 1 5 0 0 4" \
  "$(chunk 13 0 0xa1)$zhello$(chunk 41 13 0xa2)$bhello$(awsmark 41)$(chunk 13 0 0xa1)\x78\x9c\xcb\x48\xcd\xc9\xc9\x07\x00\x06\x2c\x02\x16" image_het

# TPC: a 16-bit length before each record, odd records padded, 0 a tapemark.
tpcrec() { half "$1"; bytes "$1" "$2"; (($1 & 1)) && bytes 1 0; }
image variable 0 "0 136 0 132 3 1 4 255 0 8 5 0 4 3 4 253 0 7" \
  "$(tpcrec 80 0x41)$(tpcrec 81 0x42)$(half 0)$(tpcrec 512 0x43)$(half 0)$(half 0)" image_tpc
image truncated 0 "0 4 0 4 4 1 4 255 5 0" "$(tpcrec 20 0x71)$(half 40)$(bytes 12 0x72)" image_tpc
