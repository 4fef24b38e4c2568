#!/bin/bash
# Integration test of the st tape backend against the real Linux SCSI tape driver.
#
# Boots a current Debian kernel (unstable suite) in qemu; its scsi_debug module emulates a
# tape drive (ptype=1). Inside, st_probe writes tape files through /dev/nst0 and reads them
# back through the backend as \\.\TAPE0: blocks, filemarks, spacing by files and by records,
# a medium error injected through scsi_debug's debugfs where the kernel has it, and prints
# the drive's facts as a session report gives them (each a value or the reason). The
# kernel is only downloaded and unpacked here, never installed on this machine. Needs:
# apt-get, qemu-system-x86_64, a static busybox, g++ with static libstdc++. Exit 0 on PASS,
# 1 on FAIL, 77 when it cannot run here.
#
# Environment: KV_KERNEL_WORK  cache and scratch folder (default /tmp/kv-scsi-debug)
#              KV_QEMU_TIMEOUT seconds before the virtual machine is given up (default 300)
#              KV_QEMU_ACCEL   tcg (default) or kvm
#              KV_APT_TIMEOUT  seconds each download may take before it counts as unavailable
#                              (default 600)
set -u
REPO=$(cd "$(dirname "$0")/../.." && pwd)
WORK=${KV_KERNEL_WORK:-/tmp/kv-scsi-debug}
TIMEOUT=${KV_QEMU_TIMEOUT:-300}
APT_TIMEOUT=${KV_APT_TIMEOUT:-600}
mkdir -p "$WORK"
log() { echo "[scsi-debug] $*"; }
skip() { log "SKIP: $*"; exit 77; }

# --- tools ------------------------------------------------------------------------------
need=()
command -v qemu-system-x86_64 >/dev/null || need+=(qemu-system-x86)
busybox_bin=$(command -v busybox || true)
if [ -z "$busybox_bin" ] || ! file -L "$busybox_bin" 2>/dev/null | grep -q 'statically linked'; then
    need+=(busybox-static)
fi
if [ ${#need[@]} -gt 0 ]; then
    [ "$(id -u)" = 0 ] || skip "missing ${need[*]}"
    log "installing ${need[*]}"
    timeout "$APT_TIMEOUT" apt-get install -y -q "${need[@]}" >"$WORK/apt-install.log" 2>&1 || skip "cannot install ${need[*]}"
    busybox_bin=$(command -v busybox)
fi

# --- kernel from the unstable suite, unpacked, not installed ------------------------------
APT=(-o Dir::Etc::sourcelist="$WORK/sid.list" -o Dir::Etc::sourceparts=- -o Dir::State::Lists="$WORK/sid-lists"
     -o Dir::Cache="$WORK/apt-cache" -o Debug::NoLocking=1)
KDIR="$WORK/kernel"
# The archive this machine's apt uses (a mirror, a proxy, whatever it is set to), with only
# the suite changed: the first source of the main archive in the one-line or deb822 files.
archive_uri() {
    local f
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$f" ] || continue
        awk '$1 == "deb" { i = 2; if ($2 ~ /^\[/) { while ($i !~ /\]$/) i++; i++ }
                           if ($(i+1) !~ /-security/) { print $i; exit } }' "$f"
    done
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        awk 'BEGIN { RS = ""; FS = "\n" }
             { uri = ""; suites = ""; deb = 0
               for (i = 1; i <= NF; i++) {
                   if ($i ~ /^Types:.*deb( |$)/) deb = 1
                   if ($i ~ /^URIs:/) { split($i, w, /[ \t]+/); uri = w[2] }
                   if ($i ~ /^Suites:/) suites = $i }
               if (deb && uri != "" && suites !~ /-security/) { print uri; exit } }' "$f"
    done
}
if [ ! -f "$KDIR/ready" ]; then
    uri=$(archive_uri | head -1)
    [ -n "$uri" ] || skip "no Debian archive in this machine's apt sources"
    log "archive $uri"
    echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $uri sid main" >"$WORK/sid.list"
    mkdir -p "$WORK/sid-lists/partial" "$WORK/apt-cache/archives/partial" "$WORK/debs"
    log "reading the unstable suite's package list"
    timeout "$APT_TIMEOUT" apt-get "${APT[@]}" update >"$WORK/apt-update.log" 2>&1 || skip "apt-get update for the unstable suite failed"
    # the generic flavour: not -rt-, not -cloud-
    pkg=$(apt-cache "${APT[@]}" search --names-only '^linux-image-[0-9][^ ]*-amd64$' | awk '{print $1}' |
          grep -Ev -- '-(rt|cloud)-amd64$' | sort -V | tail -1)
    [ -n "$pkg" ] || skip "no amd64 kernel package found"
    abi=${pkg#linux-image-}
    log "kernel $abi"
    rm -rf "$KDIR" && mkdir -p "$KDIR"
    (cd "$WORK/debs" && rm -f ./*.deb &&
        # newer packaging splits the image into binary and modules; older ships it whole
        { timeout "$APT_TIMEOUT" apt-get "${APT[@]}" download "linux-binary-$abi" "linux-modules-$abi" >"$WORK/apt-download.log" 2>&1 ||
          timeout "$APT_TIMEOUT" apt-get "${APT[@]}" download "linux-image-$abi-unsigned" >>"$WORK/apt-download.log" 2>&1 ||
          timeout "$APT_TIMEOUT" apt-get "${APT[@]}" download "$pkg" >>"$WORK/apt-download.log" 2>&1; }) || skip "kernel download failed"
    for deb in "$WORK"/debs/*.deb; do dpkg-deb -x "$deb" "$KDIR/root"; done
    moddir=$(ls -d "$KDIR"/root/{usr/,}lib/modules/* 2>/dev/null | head -1)
    vmlinuz=$(ls "$moddir/vmlinuz" "$KDIR"/root/boot/vmlinuz-* 2>/dev/null | head -1)
    [ -n "$moddir" ] && [ -n "$vmlinuz" ] || skip "kernel package holds no vmlinuz/modules"
    cp "$vmlinuz" "$KDIR/vmlinuz"
    echo "$moddir" >"$KDIR/moddir"
    touch "$KDIR/ready"
fi
moddir=$(cat "$KDIR/moddir")

# Modules, decompressed here (busybox insmod may not read .ko.xz), with what they depend on.
MODS="$WORK/initramfs/lib"
rm -rf "$WORK/initramfs" && mkdir -p "$MODS" "$WORK/initramfs/bin"
order=()
add_module() {
    local name=$1 file deps d
    for d in "${order[@]}"; do [ "$d" = "$name" ] && return 0; done
    file=$(find "$moddir/kernel" -name "$name.ko*" | head -1)
    [ -n "$file" ] || { log "module $name missing"; return 1; }
    case "$file" in
        *.xz) xz -dc "$file" >"$MODS/$name.ko" ;;
        *.zst) zstd -qdc "$file" >"$MODS/$name.ko" ;;
        *.gz) gzip -dc "$file" >"$MODS/$name.ko" ;;
        *) cp "$file" "$MODS/$name.ko" ;;
    esac
    deps=$(strings "$MODS/$name.ko" | sed -n 's/^depends=//p' | head -1 | tr ',' ' ')
    for d in $deps; do add_module "$d" || return 1; done
    order+=("$name")
}
for m in sg st scsi_debug; do add_module $m || skip "kernel lacks module $m"; done
strings "$MODS/scsi_debug.ko" | grep -q resp_read_tape || skip "this kernel's scsi_debug emulates no tape"

# --- the probe, static ---------------------------------------------------------------------
log "building st_probe"
g++ -std=c++20 -O1 -static -I"$REPO" "$REPO/tests/kernel/st_probe.cpp" "$REPO"/platform/*.cpp \
    "$REPO"/platform/linux/*.cpp -pthread -lcrypto -lbz2 -lz -o "$WORK/initramfs/st_probe" 2>"$WORK/build.log" ||
    { cat "$WORK/build.log"; log "FAIL: st_probe does not build"; exit 1; }

# --- initramfs -------------------------------------------------------------------------------
cp "$busybox_bin" "$WORK/initramfs/bin/busybox"
{
    echo '#!/bin/busybox sh'
    echo '/bin/busybox --install -s /bin'
    echo 'mkdir -p /proc /sys /dev && mount -t proc proc /proc && mount -t sysfs sysfs /sys && mount -t devtmpfs devtmpfs /dev'
    echo 'mount -t debugfs debugfs /sys/kernel/debug 2>/dev/null  # scsi_debug error injection'
    for m in "${order[@]}"; do
        if [ "$m" = scsi_debug ]; then
            echo "insmod /lib/$m.ko ptype=1 num_tgts=1 max_luns=1 || echo 'INSMOD FAILED $m'"
        else
            echo "insmod /lib/$m.ko || echo 'INSMOD FAILED $m'"
        fi
    done
    echo 'i=0; while [ ! -e /dev/nst0 ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i+1)); done'
    echo 'ls -l /dev/nst0 /dev/sg* 2>&1'
    echo '/st_probe'
    echo 'echo "ST_PROBE EXIT $?"'
    echo 'poweroff -f'
} >"$WORK/initramfs/init"
chmod +x "$WORK/initramfs/init"
(cd "$WORK/initramfs" && find . | busybox cpio -o -H newc 2>/dev/null | gzip -1 >"$WORK/initramfs.gz")

# --- boot -------------------------------------------------------------------------------------
# Plain emulation by default: it boots in about ten seconds, while KVM inside another virtual
# machine may stop on instructions it cannot emulate (KV_QEMU_ACCEL=kvm to try it). The
# distribution kernel expects a current processor, hence qemu's fullest model.
accel=${KV_QEMU_ACCEL:-tcg}
cpu=max
log "booting with $accel (timeout ${TIMEOUT}s)"
start=$(date +%s)
timeout "$TIMEOUT" qemu-system-x86_64 -accel "$accel" -cpu "$cpu" -m 512 -smp 1 -nographic -no-reboot \
    -kernel "$KDIR/vmlinuz" -initrd "$WORK/initramfs.gz" \
    -append "console=ttyS0 panic=-1 loglevel=4 rdinit=/init" -nic none </dev/null >"$WORK/console.log" 2>&1
qemu_rc=$?
log "virtual machine ran $(($(date +%s) - start))s (qemu exit $qemu_rc)"
tr -d '\r' <"$WORK/console.log" | grep -E '^(PASS|FAIL|SKIP|  |ST_PROBE|INSMOD)' 
if grep -q 'ST_PROBE RESULT: PASS' "$WORK/console.log"; then
    log "PASS"
    exit 0
fi
log "FAIL (console log: $WORK/console.log)"
exit 1
