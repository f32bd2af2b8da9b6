#!/usr/bin/env bash
# The layers stay: no source file includes a header of a layer above its own, reaches into
# another folder by a relative path, or adds another folder's headers to its include path.
# Exit 1 with one line per breach.
set -euo pipefail
cd "$(dirname "$0")/.."
# folder: the include prefixes it may use (its own headers need none).
declare -A allowed=(
  [platform]="platform"
  [support]="platform support"
  [settings_store]="platform support settings_store"
  [standins]="platform support settings_store"
  [port_driver]="platform support settings_store port_driver"
  [cell_service]="platform support settings_store cell_service"
  [api_replacement]="platform support settings_store api_replacement"
  [api_client]="platform support api_client"
  [host]="platform support settings_store"
  [settings_app]="platform support settings_store cell_service"
)
layers="platform support settings_store port_driver cell_service api_replacement api_client"
breaches=0 files=0
for folder in "${!allowed[@]}"; do
  while IFS= read -r file; do
    files=$((files + 1))
    while IFS= read -r line; do
      header=$(sed -E 's/^[^"]*"([^"]+)".*/\1/' <<<"$line")
      case "$header" in
        ../*|*/../*)
          echo "$file: reaches into another folder: $header"
          breaches=$((breaches + 1))
          continue ;;
      esac
      prefix=${header%%/*}
      [ "$prefix" = "$header" ] && continue  # a header of its own folder
      case " $layers " in *" $prefix "*) ;; *) continue ;; esac
      case " ${allowed[$folder]} " in
        *" $prefix "*) ;;
        *) echo "$file: includes $header from a layer above $folder"; breaches=$((breaches + 1)) ;;
      esac
    done < <(grep -E '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$file" || true)
  done < <(find "$folder" -name '*.cpp' -o -name '*.h' | sort)
  # Include paths into another folder's headers, in place of linking its interface target.
  while IFS= read -r hit; do
    echo "$hit: adds another folder's headers to the include path"
    breaches=$((breaches + 1))
  done < <(grep -rn --include=CMakeLists.txt -E 'include_directories\([^)]*CMAKE_SOURCE_DIR' "$folder" || true)
done
echo "layer check: $files files, $breaches breaches"
[ "$breaches" -eq 0 ]
