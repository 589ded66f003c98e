#!/usr/bin/env bash
# Fails when a source file includes a header of a folder above its own.
# The libraries are layered support <- signature, message <- filter <-
# update <- engine, with the programs (milter, feed, tools) on top; a folder
# may include its own headers and those of the folders below it only, and
# the tests of a folder (tests/<folder>/) hold to the same rule.
# Usage: check-layers.sh [source root]
set -euo pipefail
root=${1:-$(cd "$(dirname "$0")/.." && pwd)}

# The folders each folder may include besides its own.
declare -A allowed=(
  [support]=""
  [signature]="support"
  [message]="support"
  [filter]="support signature message"
  [update]="support signature message filter"
  [engine]="support signature message filter update"
  [milter]="support signature message filter update engine"
  [feed]="support signature message filter update engine"
  [tools]="support signature message filter update engine"
)

status=0
dirs=()
for folder in "${!allowed[@]}"; do dirs+=("$folder" "tests/$folder"); done
for dir in "${dirs[@]}"; do
  folder=${dir#tests/}
  [ -d "$root/$dir" ] || continue
  while IFS= read -r hit; do
    file=${hit%%:*}
    rest=${hit#*:}
    line=${rest%%:*}
    target=$(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^/"]*\)\/.*/\1/p' <<<"${rest#*:}")
    [ -n "$target" ] || continue
    [ "$target" = "$folder" ] || [ "$target" = tests ] && continue
    ok=0
    for lower in ${allowed[$folder]}; do
      [ "$target" = "$lower" ] && ok=1
    done
    if [ "$ok" = 0 ] && [ -n "${allowed[$target]+set}" ]; then
      echo "${file#"$root"/}:$line: $dir/ includes $target/, a folder above it"
      status=1
    fi
  done < <(grep -rn --include='*.h' --include='*.cpp' -E '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$root/$dir" || true)
done
[ "$status" = 0 ] && echo "layers: no include runs up the layers"
exit "$status"
