#!/usr/bin/env bash
# Flips one rule of the correction, the parser, the writer or the settings at a time, rebuilds and
# runs the unit tests: every mutant must be killed (some test fails). Run it before changing those
# files; a mutant that survives names a rule no test guards. Uses its own build (build-mutants).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-mutants}
# file | sed expression | the rule it breaks
mutants=(
  "port_driver/src/fix_pipeline.cpp|s/dop <= 5.0f/dop <= 50.0f/|the DOP clamp's upper bound"
  "port_driver/src/fix_pipeline.cpp|s/dop >= 0.5f/dop >= 0.05f/|the DOP clamp's lower bound"
  "port_driver/src/frx_fix.cpp|s/fix->Speed = moveSpeed < p.MinSpeed ? 0.0f : static_cast<float>(moveSpeed);/fix->Speed = static_cast<float>(moveSpeed);/|the minimum speed of the speed from movement"
  "port_driver/src/frx_fix.cpp|s/if (dms < static_cast<LONG>(p.DeltaTime))/if (dms > static_cast<LONG>(p.DeltaTime))/|the standstill hold time"
  "port_driver/src/output_fix.cpp|s/if (out->Speed < p.MinSpeed) {/if (out->Speed < 0) {/|the output's minimum speed"
  "port_driver/src/nmea_parser.cpp|s/if (FieldText(n, RMC_VARIATION_SIDE)\[0\] == 'E') fix->MagVariation = -fix->MagVariation;//|the sign of an easterly variation"
  "port_driver/src/nmea_parser.cpp|s/if (FieldText(count, lonIndex + 1)\[0\] == 'W') fix->Longitude = -fix->Longitude;//|the sign of a western longitude"
  "support/src/nmea_writer.cpp|s/c ^= static_cast<unsigned char>(text\[i\]);/c += static_cast<unsigned char>(text[i]);/|the sentence checksum"
  "settings_store/src/settings_profile.cpp|s/g_Profile.MinSpeed = 1.0;/g_Profile.MinSpeed = 2.0;/|the default minimum speed"
  "port_driver/src/nmea_source.cpp|s/if (FieldText(n, GNS_LAT + 1)\[0\] == 'S') fix->Latitude = -fix->Latitude;//|the sign of a southern latitude in GNS"
  "port_driver/src/nmea_parser.cpp|s/{GSA_HDOP, \&fix->Hdop, FIX_HDOP}/{GSA_PDOP, \&fix->Hdop, FIX_HDOP}/|the HDOP field of GSA"
  "settings_app/core/calibration.cpp|s/std::lround(degrees)/static_cast<long>(degrees + 0.5)/|the rounding of a calibration offset"
  "settings_app/core/status_reader.cpp|s/(n != 1 \&\& n != 2)/(n > 2)/|only real profile numbers become current"
  "settings_app/core/field_text.cpp|s/if (v > 0xFFFFFFFFull) return 0;//|numbers too large for a setting"
  "port_driver/src/channel_read.cpp|s/g_ClockSetByReceiver.load()) return;/true) return;/|no time on batches before the first fix"
  "support/src/reg_helpers.cpp|s/type == REG_DWORD \&\& size == sizeof(DWORD)/size == sizeof(DWORD)/|a dword setting written as text"
  "settings_store/src/known_values.cpp|s/return \*pattern == \*text;/return *pattern == 0;/|a known name's exact length"
  "support/src/nmea_writer.cpp|s/Estimated(fix) ? \"E\" : (fix->FixType/false ? \"E\" : (fix->FixType/|an estimate's RMC mode"
)
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$build" >/dev/null
survivors=0
for m in "${mutants[@]}"; do
  IFS='|' read -r file expr rule <<<"$m"
  cp "$file" "$file.orig"
  sed -i "$expr" "$file"
  if cmp -s "$file" "$file.orig"; then
    mv "$file.orig" "$file"
    echo "STALE   $rule: the mutation no longer applies to $file"
    survivors=$((survivors + 1))
    continue
  fi
  if ! cmake --build "$build" >/dev/null 2>&1; then
    echo "KILLED  $rule (does not build)"
  elif (cd "$build" && ctest -L unit -j 2 --timeout 60 >/dev/null 2>&1); then
    echo "SURVIVED $rule"
    survivors=$((survivors + 1))
  else
    echo "KILLED  $rule"
  fi
  mv "$file.orig" "$file"
done
cmake --build "$build" >/dev/null
echo "$survivors of ${#mutants[@]} mutants survived"
[ "$survivors" -eq 0 ]
