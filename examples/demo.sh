#!/usr/bin/env bash
# Casts the sample order export with the command line front end: first the
# clean file (prints the typed schema and the first rows), then the file with
# one bad amount, which must fail with a one-line error and exit status 1.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PY:-.venv/bin/python}
export PYTHONPATH=${PYTHONPATH:+$PYTHONPATH:}python

TYPES=(
  --type id=int64
  --type order_date=date32
  --type 'shipped_at=timestamp[s,format=%d/%m/%Y %H:%M:%S]'
  --type 'amount=decimal128(2)'
  --type discount=float64
  --type paid=boolean
  --type region=dictionary
  --type note=string
)

show() {  # echoes a command line, single-quoting the words that need it
  local out="\$" word
  for word in "$@"; do
    if [[ $word =~ [^A-Za-z0-9_./=-] ]]; then out+=" '$word'"; else out+=" $word"; fi
  done
  echo "$out"
}

show python -m _vorpel cast examples/sales.csv "${TYPES[@]}"
"$PY" -m _vorpel cast examples/sales.csv "${TYPES[@]}"

echo
show python -m _vorpel cast examples/sales_bad.csv "${TYPES[@]}"
status=0
"$PY" -m _vorpel cast examples/sales_bad.csv "${TYPES[@]}" || status=$?
if [ "$status" -ne 1 ]; then
  echo "demo: expected exit status 1 for sales_bad.csv, got $status" >&2
  exit 1
fi
echo "(exit status $status, as expected)"
