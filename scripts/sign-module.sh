#!/usr/bin/env bash
# Authenticode-signs the Windows module (or any PE file) with a certificate and key you give,
# in place, with SHA-256 (Debian's osslsigncode):
#
#   bash scripts/sign-module.sh --cert CERT.pem --key KEY.pem [--pass PASSWORD]
#                               [--timestamp URL] [--out SIGNED.dll] MODULE.dll
#
# --timestamp asks the time-stamping authority at URL for a countersignature, so that the
# signature stays valid after the certificate expires. --out writes the signed file there and
# leaves MODULE.dll as it is. Exit status 0 signed, 1 osslsigncode refused, 2 bad usage.
set -uo pipefail
usage() { sed -n '2,10s/^# \{0,1\}//p' "$0" >&2; exit 2; }
cert= key= pass= timestamp= out= module=
while (($#)); do
  case "$1" in
    --cert|--key|--pass|--timestamp|--out)
      [ $# -ge 2 ] && [ -n "$2" ] || { echo "sign-module: $1 needs a value" >&2; exit 2; }
      declare "${1#--}=$2"; shift 2 ;;
    -h|--help) usage ;;
    -*) echo "sign-module: unknown option $1" >&2; exit 2 ;;
    *) [ -z "$module" ] || { echo "sign-module: one module at a time" >&2; exit 2; }
       module=$1; shift ;;
  esac
done
[ -n "$module" ] && [ -n "$cert" ] && [ -n "$key" ] || usage
for f in "$module" "$cert" "$key"; do
  [ -f "$f" ] || { echo "sign-module: no such file: $f" >&2; exit 2; }
done
command -v osslsigncode >/dev/null || { echo "sign-module: osslsigncode is missing (apt-get install osslsigncode)" >&2; exit 2; }
target=${out:-$module}
tmp=$(mktemp "${target}.XXXXXX") || exit 2
trap 'rm -f "$tmp"' EXIT
args=(sign -certs "$cert" -key "$key" -h sha256 -n VmmgrVboxPdm -in "$module" -out "$tmp")
[ -z "$pass" ] || args+=(-pass "$pass")
[ -z "$timestamp" ] || args+=(-ts "$timestamp")
# osslsigncode writes a fresh file; a failure leaves the module untouched.
rm -f "$tmp"
osslsigncode "${args[@]}" >/dev/null || { echo "sign-module: osslsigncode could not sign $module" >&2; exit 1; }
chmod --reference="$module" "$tmp" && mv -f "$tmp" "$target"
echo "sign-module: signed $target"
