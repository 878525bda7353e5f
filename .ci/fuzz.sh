#!/usr/bin/env bash
# Builds the libFuzzer targets and runs each for a bounded time, starting from
# its seed corpus; any crash, hang, leak or sanitizer report fails the run.
# KUVO_FUZZ_SECONDS sets the time per target (default 20: CI runs every
# target on every change, so many short runs add up).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${KUVO_FUZZ_SECONDS:-20}"

# libFuzzer ships with clang's runtime libraries on Debian.
export DEBIAN_FRONTEND=noninteractive
missing=()
for pkg in clang libclang-rt-14-dev cmake ninja-build nlohmann-json3-dev; do
  dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}"
fi

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
status=0
for source in fuzz/*_fuzz.cc; do
  target="$(basename "$source" .cc)"
  echo "== fuzzing $target for ${seconds}s"
  # The seed corpus is copied so that the run never writes into the repository.
  mkdir -p "$work/$target/corpus" "$work/$target/artifacts"
  cp -r "fuzz/corpus/$target/." "$work/$target/corpus/"
  dict=()
  [ -f "fuzz/$target.dict" ] && dict=("-dict=fuzz/$target.dict")
  if ! timeout $((seconds + 120)) "build/fuzz/fuzz/$target" "${dict[@]}" \
      -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=12000 \
      -print_final_stats=1 -artifact_prefix="$work/$target/artifacts/" \
      "$work/$target/corpus" >"$work/$target/log" 2>&1; then
    status=1
    echo "!! $target found a fault; the end of its log and the inputs that caused it:"
    tail -n 60 "$work/$target/log"
    for artifact in "$work/$target/artifacts/"*; do
      [ -f "$artifact" ] || continue
      echo "-- $(basename "$artifact") (base64):"
      base64 "$artifact" | head -c 20000
      echo
    done
  else
    grep -E '^#[0-9]+[[:space:]]+DONE|^Done ' "$work/$target/log" || true
  fi
done
exit "$status"
