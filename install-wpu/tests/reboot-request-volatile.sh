#!/usr/bin/env bash
# A reboot request lives in a volatile key: it is gone once the registry is loaded
# again, which for a Wine prefix happens when its wineserver restarts (for Windows:
# after a restart). The module registration written by the same run stays.
#   reboot-request-volatile.sh <directory of installer-probe.exe>
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/tools/wine-env"
probe_dir=${1:?directory of installer-probe.exe}
template=${KV_WINE_TEMPLATE:?KV_WINE_TEMPLATE names the template prefix}
"$root/tools/wine-prefix" template "$template" || exit 1
prefix=$(mktemp -d "$template.run.XXXXXX")
trap '"$root/tools/wine-prefix" remove "$prefix"' EXIT
"$root/tools/wine-prefix" clone "$template" "$prefix" || exit 1
export WINEPREFIX=$prefix

fail() { echo "FAIL: $*"; exit 1; }
query() { wine reg query "$1" /v "$2" 2>/dev/null | tr -d '\r'; }
root_key='HKLM\SOFTWARE\Korvane\Wisp'

wp_module=m wp_version=1 wp_title='Reboot title' KV_PROBE_RESULT=100 KV_PROBE_MODULE=volatile \
  wine "$probe_dir/installer-probe.exe"
rc=$?
[ $rc -eq 100 ] || fail "the run answered $rc, not 100"
query "$root_key\\RebootRequested" reason | grep -q 'Reboot title' || fail "no reboot request after the run"
query "$root_key\\modules\\volatile" path | grep -q 'path' || fail "no module registration after the run"
echo "after the run: RebootRequested holds the reason, the module is registered"

wineserver -k
wineserver -w
query "$root_key\\RebootRequested" reason | grep -q 'Reboot title' && fail "the reboot request survived a restart"
query "$root_key\\modules\\volatile" path | grep -q 'path' || fail "the module registration was lost"
echo "after the wineserver restart: RebootRequested is gone, the module is still registered"
echo "PASS"
