#!/usr/bin/env bash
# Checks the kernel object files under a build tree:
#  - an object built for one instruction set (*_sse41, *_avx2, *_avx512, *_neon)
#    defines no global or weak symbol but its entry points, so the linker can
#    never hand code for one set to a caller on another;
#  - no object holds a fused multiply-add, which would round differently from
#    the separate multiply and add the portable code does.
# Usage: tests/check_objects.sh BUILD_DIR [TOOL_PREFIX]   (e.g. aarch64-linux-gnu-)
set -euo pipefail
dir=$1
nm=${2:-}nm
objdump=${2:-}objdump

# The entry points a set's file may define, with SET standing for its name.
allowed_entries() {
    case $1 in
        masking) echo "kestrune::masking::image_SET" ;;
        color_block) printf '%s\n' "kestrune::color_block64_SET" "kestrune::color_strided_block64_SET" ;;
        score) echo "kestrune::score_kernels_SET" ;;
    esac
}

status=0
objects=$(find "$dir" -path '*kestrune_kernels.dir*' -name '*.o' | sort)
if [ -z "$objects" ]; then
    echo "check_objects: no kernel objects under $dir" >&2
    exit 1
fi
checked=0
for obj in $objects; do
    file=$(basename "$obj")
    file=${file%.o}
    file=${file%.cpp}
    if [[ $file =~ ^(.+)_(sse41|avx2|avx512|neon)$ ]]; then
        kernel=${BASH_REMATCH[1]}
        set_name=${BASH_REMATCH[2]}
        allowed=$(allowed_entries "$kernel" | sed "s/SET/$set_name/g")
        # Names without their parameter lists: "T kestrune::score_kernels_avx2".
        while read -r kind name; do
            [ -z "$name" ] && continue
            # Type descriptors the undefined-behaviour sanitizer emits: data
            # that is the same in every object, no code.
            [[ $kind == V && $name == typeinfo* ]] && continue
            if ! grep -qxF "$name" <<<"$allowed"; then
                echo "check_objects: $obj defines $kind $name, not an entry point of $file" >&2
                status=1
            fi
        done < <("$nm" -g --defined-only -C "$obj" | sed -E 's/^[0-9a-f]* *//; s/\(.*//')
        checked=$((checked + 1))
    fi
    fused=$("$objdump" -d --no-show-raw-insn "$obj" | grep -E '[[:space:]](v?fn?m(add|sub)[a-z0-9]*|fml[as])[[:space:]]' || true)
    if [ -n "$fused" ]; then
        echo "check_objects: $obj holds fused multiply-adds:" >&2
        head -n 5 <<<"$fused" >&2
        status=1
    fi
done
if [ "$checked" -eq 0 ]; then
    echo "check_objects: no per-instruction-set objects under $dir" >&2
    exit 1
fi
[ "$status" -eq 0 ] && echo "check_objects: $checked per-instruction-set objects define only their entry points; no fused multiply-adds"
exit "$status"
