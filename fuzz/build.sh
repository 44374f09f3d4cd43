#!/usr/bin/env bash
# Builds the libFuzzer targets over the pure C++ reader (no Python involved)
# through CMake (KARVO_FUZZ=ON), with clang and -fsanitize=fuzzer,address,
# undefined (every UB report aborts):
#
#   fuzz/build/fuzz_psfbin         the fuzz input is the whole file
#   fuzz/build/fuzz_psfbin_footer  the input gets a valid footer ("Clarissa" +
#                                  4 bytes) appended, so mutations reach the
#                                  sections instead of dying at the footer check
#   fuzz/build/fuzz_psftext        the input is PSF ASCII text
#   fuzz/build/fuzz_raw            the input is a SPICE raw file
#
# clang comes from Debian's packages when it is missing; libFuzzer is part of
# clang's runtime libraries (libclang-rt-14-dev on bookworm).
#
# Run, e.g. (seeds: python3 fuzz/write_seeds.py; see README "Reliability"):
#   fuzz/build/fuzz_psfbin fuzz/build/corpus-file fuzz/seeds/file \
#       -max_len=65536 -timeout=5 -rss_limit_mb=2048 -print_final_stats=1
#   fuzz/build/fuzz_psfbin_footer fuzz/build/corpus-body fuzz/seeds/body ...
#   fuzz/build/fuzz_psftext fuzz/build/corpus-text fuzz/seeds/text ...
#   fuzz/build/fuzz_raw fuzz/build/corpus-raw fuzz/seeds/raw ...
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

# libFuzzer's runtime is packaged apart from the compiler on some releases.
probe="$out/probe.cpp"
printf '%s\n' '#include <cstddef>' '#include <cstdint>' \
  'extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t*, std::size_t) { return 0; }' >"$probe"
if ! "$CXX" -fsanitize=fuzzer "$probe" -o "$out/probe" >/dev/null 2>&1; then
  major="$("$CXX" -dumpversion | cut -d. -f1)"
  apt_install "libclang-rt-$major-dev"
  "$CXX" -fsanitize=fuzzer "$probe" -o "$out/probe"
fi
rm -f "$probe" "$out/probe"

generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
if [ ! -f "$out/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$out" "${generator[@]}" -DKARVO_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER="$CXX" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" >/dev/null
fi
# Two compilers at a time: the machine is shared.
cmake --build "$out" --parallel 2 --target fuzz_psfbin fuzz_psfbin_footer fuzz_psftext fuzz_raw
echo "built $out/fuzz_psfbin, $out/fuzz_psfbin_footer, $out/fuzz_psftext and $out/fuzz_raw"
