#!/usr/bin/env bash
# Fails when an include points from a lower layer to a higher one. Folders
# are layers, lowest first; a folder may include itself and the folders
# before it. The tools stand on the core only. Tests and benchmarks may
# include anything.
set -euo pipefail
cd "$(dirname "$0")/.."

layers=(app datafile run link serial usb net session monitor dialogs window cli)
core=(app datafile run)

rank_of() {
  local i
  for i in "${!layers[@]}"; do
    if [ "${layers[$i]}" = "$1" ]; then
      echo "$i"
      return
    fi
  done
  echo -1
}

failed=0
complain() {
  echo "$1"
  failed=1
}

# src/FOLDER/...: every quoted include "OTHER/..." must name a folder at or
# below FOLDER's layer.
while IFS= read -r file; do
  folder=${file#src/}
  folder=${folder%%/*}
  own=$(rank_of "$folder")
  if [ "$own" -lt 0 ]; then
    complain "$file: src/$folder is not a layer; add it to the order in scripts/check-layers.sh and the README"
    continue
  fi
  while IFS=: read -r line target; do
    wanted=$(rank_of "$target")
    if [ "$wanted" -lt 0 ] || [ "$wanted" -gt "$own" ]; then
      complain "$file:$line: includes \"$target/...\", above $folder"
    fi
  done < <(grep -noE '^\s*#\s*include\s+"[^"/]+/' "$file" | sed -E 's/^([0-9]+):.*"([^"/]+)\/$/\1:\2/')
done < <(git ls-files 'src/*.h' 'src/*.cpp')

# tools/TOOL/...: the core and the tool's own folder.
while IFS= read -r file; do
  tool=${file#tools/}
  tool=${tool%%/*}
  while IFS=: read -r line target; do
    case " ${core[*]} $tool " in
      *" $target "*) ;;
      *) complain "$file:$line: includes \"$target/...\"; a tool stands on the core only" ;;
    esac
  done < <(grep -noE '^\s*#\s*include\s+"[^"/]+/' "$file" | sed -E 's/^([0-9]+):.*"([^"/]+)\/$/\1:\2/')
done < <(git ls-files 'tools/*.h' 'tools/*.cpp')

if [ "$failed" -ne 0 ]; then
  echo "Includes must point down the layers: ${layers[*]}" >&2
  exit 1
fi
echo "Layers: every include points down (${layers[*]})"
