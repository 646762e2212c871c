#!/usr/bin/env bash
# Measures `tavo mount` against the host file system it stands in front of:
#   find + stat over a 10,000-item mounted view (warm) / the same over the
#   server folder on the host (goal: at most 3x, FUSE included); and the
#   same with the runs 1.1 s apart, past what the mount and the kernel keep,
#   so that every folder is listed anew and every attribute comes fresh;
#   cat of a 100 MB server file through the mount, first read (a download)
#   and second read (the local copy) / cat of the host file.
# Each figure is the median of REPS runs (default 5), ratios against a
# baseline measured in the same run. Needs root and /dev/fuse.
#   TAVO=build/release/tools/tavo/tavo REPS=5 bash scripts/bench_mount.sh
set -euo pipefail
cd "$(dirname "$0")/.."

tavo=${TAVO:-build/release/tools/tavo/tavo}
reps=${REPS:-5}
work=$(mktemp -d /tmp/tavo-bench-XXXXXX)
mount_pid=
unmount() {
  if mountpoint -q "$work/mnt"; then fusermount3 -u "$work/mnt" || umount -l "$work/mnt"; fi
  if [ -n "$mount_pid" ]; then wait "$mount_pid" || true; mount_pid=; fi
}
trap 'unmount; rm -rf "$work"' EXIT

mount_view() {  # $1: server folder
  rm -rf "$work/cache" && mkdir -p "$work/cache" "$work/mnt"
  "$tavo" mount "$work/mnt" --server "$1" --cache "$work/cache" > "$work/mount.log" 2>&1 &
  mount_pid=$!
  for _ in $(seq 600); do mountpoint -q "$work/mnt" && return 0; sleep 0.1; done
  echo "the mount did not come up:"; cat "$work/mount.log"; exit 1
}

nanos() { date +%s%N; }
# Runs "$@" REPS times (after `prepare`, untimed, when given) and prints the median in ns.
median() {
  local prepare=$1; shift
  local times=()
  for _ in $(seq "$reps"); do
    [ -n "$prepare" ] && $prepare
    local start; start=$(nanos)
    "$@" > /dev/null
    times+=($(( $(nanos) - start )))
  done
  printf '%s\n' "${times[@]}" | sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
find_stat() { find "$1" -print0 | xargs -0 stat --format='%s %Y' > /dev/null; }

# 99 folders of 100 files and the folders themselves: 9,999 items, and one more.
mkdir -p "$work/tree" "$work/big"
for d in $(seq 99); do
  mkdir "$work/tree/d$d"
  (cd "$work/tree/d$d" && for f in $(seq 100); do echo "item $d $f" > "f$f.txt"; done)
done
echo last > "$work/tree/last.txt"
head -c 100M /dev/urandom > "$work/big/big.bin"

mount_view "$work/tree"
find_stat "$work/tree"; find_stat "$work/mnt"  # warm both
host_find=$(median "" find_stat "$work/tree")
mount_find=$(median "" find_stat "$work/mnt")
pause() { sleep 1.1; }
host_find_apart=$(median pause find_stat "$work/tree")
mount_find_apart=$(median pause find_stat "$work/mnt")
unmount

host_cat=$(median "" cat "$work/big/big.bin")
fresh_mount() { unmount; mount_view "$work/big"; }
first_cat=$(median fresh_mount cat "$work/mnt/big.bin")
second_cat=$(median "" cat "$work/mnt/big.bin")
unmount

echo "tavo mount, medians of $reps runs (ns):"
echo "  find+stat 10,000 items: host $host_find, mount $mount_find -> ratio $(ratio "$mount_find" "$host_find") (goal <= 3)"
echo "  find+stat, runs 1.1 s apart: host $host_find_apart, mount $mount_find_apart -> ratio $(ratio "$mount_find_apart" "$host_find_apart")"
echo "  cat 100 MB first read (download): host $host_cat, mount $first_cat -> ratio $(ratio "$first_cat" "$host_cat")"
echo "  cat 100 MB second read (local copy): host $host_cat, mount $second_cat -> ratio $(ratio "$second_cat" "$host_cat")"
