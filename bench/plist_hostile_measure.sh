#!/bin/sh
# Time and peak resident memory of one kbeplist on the files of plist_hostile.py, each
# run guarded by a 4 GB address-space limit and a 3-minute timeout.
#     bench/plist_hostile_measure.sh KBEPLIST DIR
set -u
tool=$1
dir=$2
run() {
    label=$1
    shift
    result=$( (ulimit -v 4000000; timeout 180 /usr/bin/time -f '%e s %M KiB' "$@" 2>&1 >/dev/null) | tail -n 2 | tr '\n' ' ')
    printf '%-34s %s\n' "$label" "$result"
}
for f in attributes-10k attributes-20k attributes-40k attributes-80k attributes-200k \
         offsets-20M offsets-200M brackets-20M brackets-200M; do
    ext=plist
    case $f in brackets*) ext=json ;; esac
    run "-lint $f" "$tool" -lint "$dir/$f.$ext"
done
run "-convert xml1 shared-data" "$tool" -convert xml1 -o /dev/null "$dir/shared-data.plist"
run "print shared-control-string" "$tool" "$dir/shared-control-string.plist"
run "-convert json shared-control-string" "$tool" -convert json -o /dev/null "$dir/shared-control-string.plist"
run "-lint /dev/zero" "$tool" -lint /dev/zero
