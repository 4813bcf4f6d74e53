#!/usr/bin/env bash
# Wall time of the engine's backups beside plain restic on the same tree: a generated tree
# of 20,000 files / 1 GiB into a fresh repository, an unchanged re-run, and a run with 1 %
# of the files rewritten (three of each of these two). Everything lives in a private installation root.
#     bench/engine_backup_bench.sh BUILD_DIR [WORK_DIR]
set -euo pipefail
build=$(realpath "$1")
work=$(mktemp -d "${2:-/tmp}/keelbrook-engine-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
tmutil=$build/engine/tmutil/tmutil
export KEELBROOK_ROOT=$work/root HOME=$work/root/home KEELBROOK_PLATFORM=simulated
mkdir -p "$KEELBROOK_ROOT/usr/libexec/keelbrook"
ln -s "$build/engine/backupd/backupd" "$KEELBROOK_ROOT/usr/libexec/keelbrook/backupd"

tree=$work/tree
python3 - "$tree" <<'PY'
import os, sys
root = sys.argv[1]
for i in range(20000):
    folder = os.path.join(root, f"d{i // 200:03d}")
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, f"f{i:05d}"), "wb") as f:
        f.write(os.urandom(53687))  # 20,000 x 53,687 bytes = 1 GiB
PY
change() {
    python3 - "$tree" <<'PY'
import os, sys
for i in range(0, 20000, 100):  # 1 % of the files
    with open(os.path.join(sys.argv[1], f"d{i // 200:03d}", f"f{i:05d}"), "wb") as f:
        f.write(os.urandom(53687))
PY
}

"$tmutil" setdestination "$work/engine-repo" >/dev/null
"$tmutil" removesource /home && "$tmutil" removesource /etc && "$tmutil" addsource "$tree"
password=$KEELBROOK_ROOT/var/lib/keelbrook-engine/repository-password
restic -q -r "$work/plain-repo" --password-file "$password" init >/dev/null
plain() {
    restic -q -r "$work/plain-repo" --password-file "$password" \
        --cache-dir "$work/plain-cache" backup --json "$tree" >/dev/null
}
seconds() {
    local start end
    start=$(date +%s.%N)
    "$@"
    end=$(date +%s.%N)
    echo "$end - $start" | bc
}
median() { printf '%s\n' "$@" | sort -g | sed -n 2p; }
report() {
    printf '%-22s %9.2fs %9.2fs %8.1f%%\n' "$1" "$2" "$3" "$(echo "($2 - $3) * 100 / $3" | bc -l)"
}
printf '%-22s %10s %10s %9s\n' run engine restic overhead
sync
report initial "$(seconds "$tmutil" startbackup --block)" "$(sync; seconds plain)"
# The short runs are noisy on a shared machine: three of each, the order alternating, and
# the median reported.
for run in unchanged "1% changed"; do
    engine=() reference=()
    for round in 1 2 3; do
        if [ "$run" = "1% changed" ]; then change; fi
        sync
        if [ $round = 2 ]; then
            reference+=("$(seconds plain)")
            engine+=("$(seconds "$tmutil" startbackup --block)")
        else
            engine+=("$(seconds "$tmutil" startbackup --block)")
            reference+=("$(seconds plain)")
        fi
    done
    report "$run (median of 3)" "$(median "${engine[@]}")" "$(median "${reference[@]}")"
done
