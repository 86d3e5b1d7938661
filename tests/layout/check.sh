#!/usr/bin/env bash
# The store's key paths, value names and mutex name are spelled in
# src/layout/store_layout.h only: any other product or benchmark source
# that spells one is a second owner of the format. Comments aside.
set -euo pipefail
cd "$1"
names='Default|Local|Global|App|Choices|ChoiceType|DataType|LastUser'
names+='|ReadOnly|Sensitive|Description|MaxSize|TimeStamp'
pattern="KX-Orrery\\\\\\\\CurrentVersion|KX\\.COMMON\\.KXENV2|\"($names)\""
found=$(grep -rnE --include='*.cpp' --include='*.h' "$pattern" src tools bench |
        grep -v '^src/layout/' | grep -vE '^[^:]+:[0-9]+: *//' || true)
if [ -n "$found" ]; then
  echo "spelled outside src/layout/store_layout.h:" >&2
  echo "$found" >&2
  exit 1
fi
