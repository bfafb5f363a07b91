#!/usr/bin/env bash
# The program and its libraries hold the built-in configuration only in letter-pair form: none of the
# configured addresses, hosts or the settings-file name may appear as plain text in them.
set -euo pipefail
config=$1
build=$2
mapfile -t values < <(sed -n 's/^\(serviceDocumentUrl\|testDocumentUrl\|firstPrepareUrl\|secondPrepareUrl\|reportPostUrl\|noticeUrl\|fallbackFtpHost\|primaryProbeHost\|alternateProbeHost\|settingsFileName\) *= *\(.*\)$/\2/p' "$config")
[ ${#values[@]} -ge 10 ] || { echo "could not read the configuration values"; exit 1; }
mapfile -t files < <(find "$build" -path "$build/tests" -prune -o -path "$build/bench" -prune -o \
  -type f \( -name 'libzelvo_*.a' -o -name 'zelvo-speedtest*' \) -print)
[ ${#files[@]} -gt 0 ] || { echo "nothing built to check"; exit 1; }
status=0
for f in "${files[@]}"; do
  text=$(strings -n 6 "$f")
  for v in "${values[@]}"; do
    [ ${#v} -ge 6 ] || continue
    if grep -qF -- "$v" <<<"$text"; then
      echo "plain configuration value '$v' found in $f"
      status=1
    fi
  done
  # No address of the service in any form: the scheme and host of the documents.
  if grep -qF 'http://127.0.0.1' <<<"$text"; then echo "plain address in $f"; status=1; fi
done
[ $status -eq 0 ] && echo "checked ${#files[@]} files: no plain configuration values"
exit $status
