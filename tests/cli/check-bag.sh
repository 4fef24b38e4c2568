#!/usr/bin/env bash
# Checks that a folder is a complete, valid BagIt 1.0 bag (RFC 8493), with the plain tools
# and nothing of the program: exit 0 when it is, 1 with the first fault on standard error.
#   check-bag.sh BAG
set -uo pipefail
bag=${1:?usage: check-bag.sh BAG}
fail() { echo "check-bag: $*" >&2; exit 1; }
cd "$bag" || fail "no folder '$bag'"

[ -f bagit.txt ] || fail "no bagit.txt"
printf 'BagIt-Version: 1.0\nTag-File-Character-Encoding: UTF-8\n' | cmp -s - bagit.txt || fail "bagit.txt is not version 1.0, UTF-8"
[ -d data ] || fail "no payload folder data/"

for alg in sha256 sha512; do
  [ -f "manifest-$alg.txt" ] || fail "no manifest-$alg.txt"
  # Every line "HEX  data/NAME", the digest the right length, and every payload file listed.
  len=$([ $alg = sha256 ] && echo 64 || echo 128)
  grep -Evq "^[0-9a-f]{$len}  data/" "manifest-$alg.txt" && fail "manifest-$alg.txt has a line of another form"
  listed=$(sed -E 's/^[0-9a-f]+  //' "manifest-$alg.txt" | sort)
  present=$(find data -type f | sort)
  [ "$listed" = "$present" ] || fail "manifest-$alg.txt does not list exactly the payload files"
  [ -s "manifest-$alg.txt" ] && { "${alg}sum" --quiet --strict -c "manifest-$alg.txt" >/dev/null 2>&1 ||
    fail "a payload file does not match manifest-$alg.txt"; }
  if [ -f "tagmanifest-$alg.txt" ]; then
    grep -q '  data/' "tagmanifest-$alg.txt" && fail "tagmanifest-$alg.txt lists a payload file"
    "${alg}sum" --quiet --strict -c "tagmanifest-$alg.txt" >/dev/null 2>&1 || fail "a tag file does not match tagmanifest-$alg.txt"
  fi
done

# Payload-Oxum: the payload's octets and files, as find and stat count them.
[ -f bag-info.txt ] || fail "no bag-info.txt"
oxum=$(sed -n 's/^Payload-Oxum: //p' bag-info.txt)
octets=0
count=0
while IFS= read -r -d '' f; do
  octets=$(( octets + $(stat -c %s "$f") ))
  count=$(( count + 1 ))
done < <(find data -type f -print0)
[ "$oxum" = "$octets.$count" ] || fail "Payload-Oxum is '$oxum', the payload is $octets.$count"
grep -Eq '^Bagging-Date: [0-9]{4}-[0-9]{2}-[0-9]{2}$' bag-info.txt || fail "no Bagging-Date YYYY-MM-DD"
# Every line a label and a value, or a continuation (which starts with blanks).
grep -Evq '^([A-Za-z][A-Za-z0-9-]*: .*|[ 	].*)$' bag-info.txt && fail "bag-info.txt has a line that is not a field"
exit 0
