#!/usr/bin/env bash
# Makes random files of random sizes and the md5sum listing of them, for the
# Windows digest test to check its own digests against.
set -euo pipefail
dir=$1
rm -rf "$dir"
mkdir -p "$dir"
for i in $(seq 1 24); do
  size=$(( (RANDOM * 32768 + RANDOM) % 300000 ))
  case $i in 1) size=0 ;; 2) size=1024 ;; 3) size=4096 ;; 4) size=1023 ;; 5) size=1025 ;; esac
  head -c "$size" /dev/urandom >"$dir/random-$i.bin"
done
(cd "$dir" && md5sum "$PWD"/random-*.bin) >"$dir.md5"
