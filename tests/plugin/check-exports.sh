#!/usr/bin/env bash
# The Linux module exports exactly RegisterPlugin and ProcessImage and imports MessageBoxA.
set -euo pipefail
module=$1
exports=$(nm -D --defined-only "$module" | awk '$2 ~ /^[TDBRVW]$/ {print $3}' | sort | tr '\n' ' ')
if [ "$exports" != "ProcessImage RegisterPlugin " ]; then
  echo "unexpected exports: $exports" >&2
  exit 1
fi
# Read the whole list first: grep -q stops early, and under pipefail nm's broken pipe would fail.
imports=$(nm -D --undefined-only "$module")
if ! grep -qw MessageBoxA <<<"$imports"; then
  echo "MessageBoxA is not imported" >&2
  exit 1
fi
dynamic=$(readelf -d "$module")
if ! grep -q 'RUNPATH.*\$ORIGIN' <<<"$dynamic"; then
  echo "the module does not look for its libraries beside itself" >&2
  exit 1
fi
echo "exports: $exports; imports MessageBoxA; RUNPATH \$ORIGIN"
