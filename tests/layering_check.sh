#!/usr/bin/env bash
# Fails when a folder of src includes a folder above it, or base reaches past the standard
# library. The allowed order lives here and nowhere else.
#   layering_check.sh <src dir>
set -u
src=$1

# folder: the folders it may include besides itself
declare -A allowed=(
    [base]=""
    [config]="base"
    [capture]="base"
    [net]="base capture"
    [device]="base config capture"
    [app]="base config net capture"
    [ui]="base config net app capture"
    [formats]="base config device"
    [orvanctl]="base config device capture formats"
    [exporter]="base config device formats"
    [.]="base config net app ui capture"
)

status=0
while IFS= read -r file; do
    rel=${file#"$src"/}
    folder=${rel%%/*}
    [ "$folder" = "$rel" ] && folder=.
    if [ -z "${allowed[$folder]+set}" ]; then
        echo "$rel: folder '$folder' has no place in the layering"
        status=1
        continue
    fi
    while IFS= read -r line; do
        target=$(sed -E 's/^#include *"([^/"]+)\/.*/\1/' <<<"${line#*:}")
        [[ "${line#*:}" == *'"'*/* ]] || continue
        [ "$target" = "$folder" ] && continue
        if [[ " ${allowed[$folder]} " != *" $target "* ]]; then
            echo "$rel:${line%%:*}: $folder may not include $target"
            status=1
        fi
    done < <(grep -n -E '^#include *"' "$file")
    if [ "$folder" = base ] && grep -n -E '^#include *<Q' "$file"; then
        echo "$rel: base uses the standard library only"
        status=1
    fi
done < <(find "$src" -name '*.h' -o -name '*.cpp' | sort)

[ $status -eq 0 ] && echo "layering holds"
exit $status
