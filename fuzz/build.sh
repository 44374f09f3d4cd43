#!/usr/bin/env bash
# Builds the libFuzzer targets over the pure C++ reader (no Python involved):
#
#   fuzz/build/fuzz_psfbin         the fuzz input is the whole file
#   fuzz/build/fuzz_psfbin_footer  the input gets a valid footer ("Clarissa" +
#                                  4 bytes) appended, so mutations reach the
#                                  sections instead of dying at the footer check
#
# with clang and -fsanitize=fuzzer,address,undefined (every UB report aborts).
# clang comes from Debian's packages when it is missing; libFuzzer is part of
# clang's runtime libraries (libclang-rt-14-dev on bookworm).
#
# Run, e.g. (seeds: python3 fuzz/make_seeds.py; see README "Reliability"):
#   fuzz/build/fuzz_psfbin fuzz/build/corpus-file fuzz/seeds/file \
#       -max_len=65536 -timeout=5 -rss_limit_mb=2048 -print_final_stats=1
#   fuzz/build/fuzz_psfbin_footer fuzz/build/corpus-body fuzz/seeds/body ...
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(dirname "$here")"
out="$here/build"
mkdir -p "$out"

apt_install() {
  if [ "$(id -u)" = 0 ]; then
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$@"
  else
    sudo apt-get update -qq && sudo DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$@"
  fi
}

CXX="${CXX_FUZZ:-clang++}"
if ! command -v "$CXX" >/dev/null 2>&1; then
  apt_install clang
  CXX=clang++
fi

flags=(-std=c++20 -O1 -g -fno-omit-frame-pointer -fsanitize=fuzzer,address,undefined
       -fno-sanitize-recover=all -Wall -Wextra -I"$root/src")

# libFuzzer's runtime is packaged apart from the compiler on some releases.
probe="$out/probe.cpp"
printf '%s\n' '#include <cstddef>' '#include <cstdint>' \
  'extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t*, std::size_t) { return 0; }' >"$probe"
if ! "$CXX" "${flags[@]}" "$probe" -o "$out/probe" >/dev/null 2>&1; then
  major="$("$CXX" -dumpversion | cut -d. -f1)"
  apt_install "libclang-rt-$major-dev"
  "$CXX" "${flags[@]}" "$probe" -o "$out/probe"
fi
rm -f "$probe" "$out/probe"

# The reader's sources, as the karvo_reader target of CMakeLists.txt lists them.
mapfile -t sources < <(sed -n '/add_library(karvo_reader/,/)/p' "$root/CMakeLists.txt" | grep -o 'src/[^ )]*\.cpp')
[ "${#sources[@]}" -gt 0 ] || { echo "no karvo_reader sources found in CMakeLists.txt" >&2; exit 1; }

# Rebuild only when a source, header, the harness or the flags changed.
stamp="$( (echo "$CXX ${flags[*]}"; cd "$root" && cat "${sources[@]}" src/types/*.hpp src/reader/*.hpp \
  fuzz/fuzz_psfbin.cpp) | sha256sum | cut -d' ' -f1)"
if [ -x "$out/fuzz_psfbin" ] && [ -x "$out/fuzz_psfbin_footer" ] && [ "$(cat "$out/stamp" 2>/dev/null)" = "$stamp" ]; then
  echo "fuzz targets are up to date"
  exit 0
fi

objs=()
pids=()
mkdir -p "$out/obj"
for src in "${sources[@]}"; do
  obj="$out/obj/$(basename "${src%.cpp}").o"
  objs+=("$obj")
  "$CXX" "${flags[@]/-fsanitize=fuzzer,/-fsanitize=fuzzer-no-link,}" -c "$root/$src" -o "$obj" &
  pids+=($!)
  # Two compilers at a time: the machine is shared.
  if [ "${#pids[@]}" -ge 2 ]; then wait "${pids[0]}"; pids=("${pids[@]:1}"); fi
done
for pid in "${pids[@]}"; do wait "$pid"; done

"$CXX" "${flags[@]}" "$here/fuzz_psfbin.cpp" "${objs[@]}" -o "$out/fuzz_psfbin"
"$CXX" "${flags[@]}" -DKARVO_FUZZ_APPEND_FOOTER "$here/fuzz_psfbin.cpp" "${objs[@]}" -o "$out/fuzz_psfbin_footer"
echo "$stamp" >"$out/stamp"
echo "built $out/fuzz_psfbin and $out/fuzz_psfbin_footer"
