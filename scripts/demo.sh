#!/usr/bin/env bash
# The library's main job, end to end on this machine: a directory with one
# cell and two content-indexing clouds, a reference CI server for each, sample
# documents in their indexes, then a backup-data erase, a migrated-data erase,
# a RuRizoze erase and a prune through the helper library, each shown with the
# index before and after and the debug-log lines it wrote. Everything runs over
# TLS 1.3: a throw-away authority signs a certificate for each server and one
# for the host.
set -euo pipefail
cd "$(dirname "$0")/.."

bin=$PWD/build/default/bin
work=$(mktemp -d /tmp/tqci-demo.XXXXXX)
export TQ_DIRECTORY_DB=$work/directory.db TQ_LOG_DIR=$work/log
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# One line per stage of the preparation; the whole build output only when it fails.
printf '\033[1m== Preparing: packages, build configuration, libraries and tools\033[0m\n'
bash scripts/install-deps.sh
echo "   packages present"
cmake --preset default >"$work/build.log"
echo "   build/default configured"
if ! cmake --build --preset default --target tqci cisrv tqdir 2>&1 | tee -a "$work/build.log" |
    awk '/Built target/ && !seen[$NF]++ { print "   built " $NF; fflush() }'; then
  cat "$work/build.log"
  exit 1
fi

# The cell's authority and certificates (docs/SESSION.md, "Security").
certs=$work/certs
make_certs() {
  mkdir -p "$certs"
  local key=(-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes)
  openssl req -x509 "${key[@]}" -keyout "$certs/ca.key" -out "$certs/ca.pem" -days 1 \
    -subj "/CN=demo cell authority" -addext basicConstraints=critical,CA:TRUE \
    -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null
  local name alt
  for name in ci-east ci-west host; do
    alt=$([ "$name" = host ] && echo "DNS:host.demo" || echo "IP:127.0.0.1")
    openssl req -new "${key[@]}" -keyout "$certs/$name.key" -out "$certs/$name.csr" \
      -subj "/CN=$name" 2>/dev/null
    printf 'basicConstraints=CA:FALSE\nsubjectAltName=%s\n' "$alt" >"$certs/$name.ext"
    openssl x509 -req -in "$certs/$name.csr" -CA "$certs/ca.pem" -CAkey "$certs/ca.key" \
      -CAcreateserial -days 1 -extfile "$certs/$name.ext" -out "$certs/$name.pem" 2>/dev/null
  done
}
make_certs
# The host tool presents the host's certificate; each server its own (below).
export TQ_TLS_CA=$certs/ca.pem TQ_TLS_CERT=$certs/host.pem TQ_TLS_KEY=$certs/host.key

failures=0
step() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
check() {  # check DESCRIPTION COMMAND...: run a check, report it
  if "${@:2}"; then printf '   ok: %s\n' "$1"; else printf '   FAILED: %s\n' "$1"; failures=$((failures + 1)); fi
}

start_server() {  # start_server NAME
  TQ_TLS_CERT=$certs/$1.pem TQ_TLS_KEY=$certs/$1.key "$bin/cisrv" serve --index "$work/$1.db" --listen 127.0.0.1:0 --port-file "$work/$1.port" \
    --log "$work/$1.log" --metrics-listen 127.0.0.1:0 &
  pids+=($!)
  for _ in $(seq 200); do [ -s "$work/$1.port" ] && break; sleep 0.05; done
  [ -s "$work/$1.port" ] || { echo "server $1 did not start"; exit 1; }
}
index() { "$bin/cisrv" search --index "$work/$1.db" | awk -F'\t' '{ printf "     %-28s client %-3s app %-4s archive file %-3s %s\n", $2, $3, $5, $6, $9 }'; }
has() { "$bin/cisrv" search --index "$work/$1.db" | cut -f2 | grep -qx "$2"; }
hasnt() { ! has "$@"; }
tqci() { local log_before; log_before=$(cat "$TQ_LOG_DIR/CIHelper.log" 2>/dev/null | wc -l)
  printf '   $ tqci %s\n' "$*"
  local rc=0; "$bin/tqci" "$@" 2>/dev/null | sed 's/^/     /' || rc=$?
  echo "   debug log:"; tail -n +"$((log_before + 1))" "$TQ_LOG_DIR/CIHelper.log" | cut -d' ' -f5- | sed 's/^/     /'
  return $rc; }
show() { for s in ci-east ci-west; do echo "   index of $s:"; index "$s"; done; }

step "Cell authority: certificates for ci-east and ci-west (IP:127.0.0.1) and the host"
for name in ci-east ci-west host; do
  printf '   %-8s %s\n' "$name" "$(openssl x509 -in "$certs/$name.pem" -noout -subject -ext subjectAltName 2>/dev/null | tr '\n' ' ')"
done

step "Directory: cell 1 (number 4711), clouds 1 and 2 with a CI server each"
start_server ci-east
start_server ci-west
"$bin/tqdir" init
"$bin/tqdir" add-cell 1 4711
"$bin/tqdir" add-client 101 1 "127.0.0.1:$(cat "$work/ci-east.port")"
"$bin/tqdir" add-client 102 1 "127.0.0.1:$(cat "$work/ci-west.port")"
"$bin/tqdir" add-client 10 1 fileserver.example:8403
for cloud in 1 2; do
  "$bin/tqdir" add-cloud "$cloud" "cloud-$cloud"
  "$bin/tqdir" add-cloud-member "$cloud" "10$cloud" 1
done
"$bin/tqdir" map-client-engines 10 33 1 2
"$bin/tqdir" add-app 500 1 10 33
"$bin/tqdir" map-app-engines 500 1 2
echo "   two reference CI servers on 127.0.0.1:$(cat "$work/ci-east.port") and :$(cat "$work/ci-west.port"), TLS 1.3 with client certificates"

step "Index sample documents"
for s in ci-east ci-west; do
  cloud=$([ "$s" = ci-east ] && echo 1 || echo 2)
  add() { "$bin/cisrv" add --index "$work/$s.db" --cell-number 4711 --cloud "$cloud" "$@" >/dev/null; }
  add --path /home/ann/report.doc --client 10 --app-type 33 --text "quarterly report"
  add --path /home/ann/photos/cat.jpg --client 10 --app-type 33 --text "a cat"
  add --path /home/ann/notes.txt --client 10 --app-type 33 --text "notes"
  add --path /archive/2019/ledger.xls --app 500 --text "ledger"
  add --path "/archive/file-$cloud.arc/mail.eml" --archive-file "7$cloud" --text "old mail"
done
show

step "Erase backed-up data of client 10 under /home/ann/photos"
check "tqci exit status 0" tqci erase-backup --cell 1 --client 10 --app-type 33 /home/ann/photos
show
check "photos gone from ci-east" hasnt ci-east /home/ann/photos/cat.jpg
check "photos gone from ci-west" hasnt ci-west /home/ann/photos/cat.jpg
check "report kept" has ci-east /home/ann/report.doc

step "Erase migrated data of application 500 under /archive/2019"
check "tqci exit status 0" tqci erase-migrated --cell 1 --app 500 /archive/2019
check "ledger gone from ci-east" hasnt ci-east /archive/2019/ledger.xls
check "ledger gone from ci-west" hasnt ci-west /archive/2019/ledger.xls

step "Erase RuRizoze data of client 10 indexed by cloud 2: /home/ann/notes.txt"
check "tqci exit status 0" tqci erase-rurizoze --cell 1 --cell-number 4711 --client 10 --app-type 33 --cloud 2 /home/ann/notes.txt
check "notes gone from ci-west" hasnt ci-west /home/ann/notes.txt
check "notes kept on ci-east (another cloud)" has ci-east /home/ann/notes.txt

step "Prune archive files 71 (cloud 1) and 72 (cloud 2)"
printf '4711 72 2\n4711 71 1\n' >"$work/prune.txt"
check "tqci exit status 0" tqci prune "$work/prune.txt"
show
check "archive file 71 pruned on ci-east" hasnt ci-east /archive/file-1.arc/mail.eml
check "archive file 72 pruned on ci-west" hasnt ci-west /archive/file-2.arc/mail.eml

step "A host without a certificate of the cell is refused at attach"
check "tqci fails without a host certificate" bash -c '! TQ_TLS_CERT= TQ_TLS_KEY= "$0" erase-backup --cell 1 --client 10 --app-type 33 /home/ann >/dev/null 2>&1' "$bin/tqci"
check "the reason is in the debug log" grep -q "certificate required" "$TQ_LOG_DIR/CIHelper.log"
check "the report is still indexed" has ci-east /home/ann/report.doc

step "What an operator's scrape of ci-east shows (GET /metrics, /readyz)"
metrics_port=$(sed -n 's/.*over HTTP on 127.0.0.1 port \([0-9]*\).*/\1/p' "$work/ci-east.log" | head -1)
scrape() { python3 -c 'import sys, urllib.request
try:
    print(urllib.request.urlopen(sys.argv[1], timeout=5).read().decode(), end="")
except Exception as error:
    print(error)' "http://127.0.0.1:$metrics_port$1"; }
scrape /metrics | grep -E '^cisrv_(erase|erased|prune|pruned|lost|sessions|refused|index|writer_(batch_changes|commit_duration_seconds)_count)' | sed 's/^/     /'
check "ci-east is ready (/readyz)" test "$(scrape /readyz)" = ready

step "Result"
if [ "$failures" -eq 0 ]; then echo "   every step did what it showed"; else echo "   $failures check(s) failed"; fi
exit $((failures > 0))
