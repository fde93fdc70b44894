#!/usr/bin/env bash
# The GPU check's run script against stand-ins for its programs, so that
# what it says and its exit status are checked on a machine without a GPU:
# a loader that refuses the bundle (with and without a kit to build), a
# driver with no device, a driver too old, a sanitizer that refuses the
# device or reports errors, a failing test program; and --plan.
# usage: run_test.sh RUN_SCRIPT
set -uo pipefail
run=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# stand_in DIR NAME BODY: an executable shell script.
stand_in() {
    printf '#!/usr/bin/env bash\n%s\n' "$3" > "$1/$2"
    chmod +x "$1/$2"
}
# What glibc's loader says of a program built against a newer glibc.
read -r -d '' loader <<'LOADER'
echo "$0: /lib/x86_64-linux-gnu/libc.so.6: version \`GLIBC_2.34' not found (required by $0)" >&2
exit 1
LOADER
usage_first='[ "${1:-}" = --help ] && { echo usage; exit 0; }'
declare -A gpu_info=(
    [good]="$usage_first"'
echo "GPU: Stand-in GPU, compute capability 9.0"'
    [loader]=$loader
    [nodevice]="$usage_first"'
echo "No GPU found: the NVIDIA driver reports no CUDA device"; exit 3'
    [olddriver]="$usage_first"'
echo "CUDA driver too old: the NVIDIA driver supports CUDA 12.4, older than this program'"'"'s runtime 13.0"; exit 5'
)
declare -A gpu_tests=(
    [good]='[ "${1:-}" = --gtest_list_tests ] && { printf "GpuSmall.\n  One\n"; exit 0; }
echo "[       OK ] GpuSmall.One (1 ms)"; echo "[  PASSED  ] 1 test."'
    [failing]='[ "${1:-}" = --gtest_list_tests ] && { printf "GpuSmall.\n  One\n"; exit 0; }
echo "[  FAILED  ] GpuSmall.One (1 ms)"; exit 1'
)
declare -A sanitizer=(
    [good]='echo "[  PASSED  ] 1 test."; echo "========= ERROR SUMMARY: 0 errors"'
    [refuses]='echo "========= Error: Device not supported"
echo "========= Error: Target application returned an error: unknown error (error 999)"; exit 99'
    [reports]='echo "[  PASSED  ] 1 test."; echo "========= ERROR SUMMARY: 2 errors"; exit 99'
)
bench='[ "${1:-}" = --help ] && exit 2
case $TRACKORA_ENGINE in cuda*) echo "Engine: CUDA (Stand-in)" ;; *) echo "Engine: CPU" ;; esac'
heatmap="$usage_first"'
echo "Density engine: CUDA (Stand-in)"; echo "cannot write the grid" >&2; exit 1'

# bundle DIR GPU_INFO GPU_TESTS [KIT]: KIT is none, good (builds working
# programs) or broken (fails to build).
bundle() {
    mkdir -p "$1"
    cp "$run" "$1/run"
    stand_in "$1" gpu_info "${gpu_info[$2]}"
    stand_in "$1" gpu_tests "${gpu_tests[$3]}"
    stand_in "$1" bench_engine "$bench"
    stand_in "$1" trackora-heatmap "$heatmap"
    case ${4:-none} in
        good)
            mkdir -p "$1/kit" "$scratch/programs"
            stand_in "$scratch/programs" gpu_info "${gpu_info[good]}"
            stand_in "$scratch/programs" gpu_tests "${gpu_tests[good]}"
            stand_in "$scratch/programs" bench_engine "$bench"
            stand_in "$scratch/programs" trackora-heatmap "$heatmap"
            stand_in "$1/kit" build 'mkdir -p "$1/bin" && cp '"$scratch"'/programs/* "$1/bin/"' ;;
        broken)
            mkdir -p "$1/kit"
            stand_in "$1/kit" build 'echo "kit build: no nvcc on PATH or in /usr/local/cuda/bin" >&2; exit 1' ;;
    esac
}

# case: name gpu_info gpu_tests kit sanitizer expected_status expected_text
cases=(
    "loader-no-kit|loader|good|none|good|4|version \`GLIBC_2.34' not found"
    "loader-kit-builds|loader|good|good|good|0|Running the programs built from the source kit"
    "loader-kit-fails|loader|good|broken|good|4|Neither the bundle nor the source kit runs here"
    "no-device|nodevice|good|none|good|3|No GPU found: the NVIDIA driver reports no CUDA device"
    "old-driver|olddriver|good|none|good|5|CUDA driver too old"
    "sanitizer-refuses|good|good|none|refuses|0|sanitizer unavailable on this machine"
    "sanitizer-reports|good|good|none|reports|1|FAIL   compute-sanitizer memcheck"
    "test-fails|good|failing|none|good|1|FAIL   gpu_tests"
)
for entry in "${cases[@]}"; do
    IFS='|' read -r name info tests kit tool expected text <<< "$entry"
    dir=$scratch/$name
    bundle "$dir" "$info" "$tests" "$kit"
    mkdir -p "$dir/tools"
    stand_in "$dir/tools" compute-sanitizer "${sanitizer[$tool]}"
    output=$(cd "$dir" && COMPUTE_SANITIZER=$dir/tools/compute-sanitizer POINTS=1000 ./run "$dir/check.log" 2>&1)
    status=$?
    [ "$status" -eq "$expected" ] || fail "$name: exit $status, expected $expected; said:"$'\n'"$output"
    grep -F -q -- "$text" <<< "$output" || fail "$name: no \"$text\" in:"$'\n'"$output"
    # What the screen shows is in the log too.
    grep -F -q -- "$text" "$dir/check.log" || fail "$name: no \"$text\" in the log"
done

# --plan runs nothing and its total is the sum of the steps, within the
# six minutes the check promises less half a minute for start-up.
dir=$scratch/plan
bundle "$dir" good good
stand_in "$dir" gpu_info "touch $dir/ran"
plan=$(cd "$dir" && ./run --plan)
status=$?
[ "$status" -eq 0 ] || fail "--plan exited $status"
[ ! -e "$dir/ran" ] || fail "--plan ran gpu_info"
[ ! -e "$dir/gpu-check.log" ] || fail "--plan wrote a log"
sum=$(awk '$1 != "total:" && $2 ~ /^[0-9]+$/ && $3 == "s" {s += $2} END {print s + 0}' <<< "$plan")
total=$(sed -n 's/^total: \([0-9]*\) s$/\1/p' <<< "$plan")
steps=$(grep -c '^[a-z-]* *[0-9]* s ' <<< "$plan")
[ -n "$total" ] && [ "$total" -eq "$sum" ] || fail "--plan's total ${total:-missing} is not the sum $sum of its steps"
[ "${total:-999}" -le 330 ] || fail "--plan's total $total s is over 330 s"
[ "$steps" -ge 12 ] || fail "--plan lists $steps steps:"$'\n'"$plan"

[ "$failures" -eq 0 ] || exit 1
echo "the GPU check's run says why and exits accordingly in ${#cases[@]} cases; --plan adds to $total s"
