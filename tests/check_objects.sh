#!/usr/bin/env bash
# Checks the kernel object files under a build tree:
#  - an object built for one instruction set (simd/kernels_<set>.cpp) defines
#    no global or weak symbol but its entry point, so the linker can never hand
#    code for one set to a caller on another;
#  - no object holds a fused multiply-add, which would round differently from
#    the separate multiply and add the portable code does;
#  - the layers include one way: the colour, edge and fit code below the
#    kernel table never includes it or the entry points above it (dispatch/).
# Usage: tests/check_objects.sh BUILD_DIR [TOOL_PREFIX]   (e.g. aarch64-linux-gnu-)
set -euo pipefail
dir=$1
nm=${2:-}nm
objdump=${2:-}objdump

# The instruction sets, from the list CMake builds them from; a set's file
# kernels_<set>.cpp may define one entry point, its table.
root=$(cd "$(dirname "$0")/.." && pwd)
sets=$(grep -E '^[a-z]' "$root/src/kestrune/simd/sets.txt" | awk '{print $1}' | paste -sd'|')

status=0
upward=$(grep -nE '#include +"[./]*(simd/kernels|dispatch/)' "$root"/src/kestrune/{color,edges,ransac}/* || true)
upward+=$(grep -nE '#include +"[./]*dispatch/' "$root"/src/kestrune/simd/* || true)
if [ -n "$upward" ]; then
    echo "check_objects: includes pointing up past the kernel table:" >&2
    echo "$upward" >&2
    status=1
fi
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
    if [[ $file =~ ^kernels_($sets)$ ]]; then
        allowed="kestrune::kernel_table_${BASH_REMATCH[1]}"
        # Names without their parameter lists: "T kestrune::kernel_table_avx2".
        while read -r kind name; do
            [ -z "$name" ] && continue
            # Type descriptors the undefined-behaviour sanitizer emits: data
            # that is the same in every object, no code.
            [[ $kind == V && $name == typeinfo* ]] && continue
            # The pointer to the C++ personality routine that unwind tables
            # name (the sanitizer adds cleanups): data, the same everywhere.
            [[ $kind == V && $name == DW.ref.__gxx_personality_v0 ]] && continue
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
