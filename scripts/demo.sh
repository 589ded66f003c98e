#!/usr/bin/env bash
# The engine's main job on the bundled example working directory: copies
# examples/ into a fresh folder (so the repository stays clean), starts the
# engine there like a mail server would, sends one SCAN per message and a
# FINDCRC, and prints every response block.
set -euo pipefail
bin=$(realpath "${1:-build/bin/quarncrc}")
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -r "$root/examples/." "$work/"
cd "$work"

n=0
commands=""
for msg in messages/*.eml; do
  n=$((n + 1))
  commands+="$n SCAN $msg ${msg%.eml}.env"$'\n'
done
commands+="$((n + 1)) FINDCRC A\$L8Xbe5\$19T5pAU\$1Ec0BA4\$18bCFw\$ZC19MY#1Cm7Ba0\$1fh6OG2\$2ajHz5#1Yg50L7"$'\n'
commands+="QUIT"$'\n'

echo "Working directory: $work (copy of examples/)"
echo "--- commands"
printf '%s' "$commands"
echo "--- responses"
printf '%s' "$commands" | "$bin"
echo "--- quarncrc.status (rewritten at most every 10 seconds, so it shows the first command)"
cat quarncrc.status 2>/dev/null || true

# The milter: quarncrc-milter runs an engine on a second copy of examples/
# and Debian's miltertest hands it one message the way a mail server would.
milter="$(dirname "$bin")/quarncrc-milter"
if [ -x "$milter" ] && command -v miltertest >/dev/null; then
  mwork=$(mktemp -d)
  trap 'rm -rf "$work" "$mwork"; [ -n "${mpid:-}" ] && kill "$mpid" 2>/dev/null || true' EXIT
  cp -r "$root/examples/." "$mwork/"
  echo "--- quarncrc-milter (unix:$mwork/milter.sock, working directory $mwork)"
  "$milter" --socket "unix:$mwork/milter.sock" --workdir "$mwork" 2>"$mwork/milter.log" &
  mpid=$!
  miltertest -D "socket=unix:$mwork/milter.sock" -D "message=$mwork/messages/spam-1.eml" \
    -s "$root/scripts/milter-demo.lua"
  kill "$mpid"
  wait "$mpid" || true
  mpid=""
  echo "--- milter log"
  cat "$mwork/milter.log"
else
  echo "--- quarncrc-milter or miltertest missing: milter demo skipped"
fi
