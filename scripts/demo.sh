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

# A site's own feed: report an example message to quarncrc-feed, then start
# an engine whose start-up update fetches it from the feed on 127.0.0.1.
feed_bin=$(dirname "$bin")/quarncrc-feed
if [ -x "$feed_bin" ]; then
  echo
  echo "=== quarncrc-feed: a site's own signature feed"
  spam=messages/spam-2.eml
  mkdir feed site
  "$feed_bin" --data feed report "$spam"
  "$feed_bin" --data feed stats
  "$feed_bin" --data feed export
  "$feed_bin" --data feed serve --listen 127.0.0.1:0 2>feed/serve.log &
  feed_pid=$!
  port=""
  for _ in $(seq 100); do
    port=$(sed -n 's/.* on 127\.0\.0\.1:\([0-9]*\)$/\1/p' feed/serve.log)
    [ -n "$port" ] && break
    sleep 0.1
  done
  cp "$spam" site/spam.eml
  printf 'HTTP_HOST 127.0.0.1\nHTTP_PORT %s\nUPDATE_START true\nAUTO_UPDATE false\nSKIP_FILTER true\n' \
    "$port" >site/quarncrc.ini
  echo "--- an engine in a fresh directory updates from the feed at start, then scans $spam"
  (cd site && printf '1 SCAN spam.eml none.env\nQUIT\n' | "$bin")
  kill "$feed_pid"
  wait "$feed_pid" || true
  echo "--- the feed's log"
  cat feed/serve.log
fi

# The administrator's tool on the same example directory.
tool_bin=$(dirname "$bin")/quarncrc-tool
if [ -x "$tool_bin" ]; then
  echo
  echo "=== quarncrc-tool: signatures, matching, rules check, database"
  cd "$work"
  echo "--- quarncrc-tool sign messages/*.eml"
  "$tool_bin" sign messages/*.eml
  echo "--- quarncrc-tool sign --parts messages/ham-1.eml"
  "$tool_bin" sign --parts messages/ham-1.eml
  echo "--- quarncrc-tool match --db quarncrc.db messages/spam-2.eml messages/ham-1.eml"
  "$tool_bin" match --db quarncrc.db messages/spam-2.eml messages/ham-1.eml
  echo "--- quarncrc-tool lint filter.dat (no output: it compiles cleanly)"
  "$tool_bin" lint filter.dat && echo "exit status 0"
  echo "--- quarncrc-tool db stats quarncrc.db"
  "$tool_bin" db stats quarncrc.db
  echo "--- quarncrc-tool trace messages/spam-2.eml (last lines)"
  "$tool_bin" trace messages/spam-2.eml | sed -n '/^-- flags set/,$p'
  man_dir=$(cd "$(dirname "$bin")/.." && pwd)/man
  echo "--- manual pages (read one with: man -l $man_dir/quarncrc.8)"
  ls "$man_dir"
  echo "    'make install' puts them under PREFIX/share/man; 'make package' builds a .deb"
fi
