// Batches generated per second by the sentence writer, for a full record (12 satellites) and an
// empty one.
#include <benchmark/benchmark.h>
#include "support/nmea_writer.h"

static FixRecord FullRecord() {
  FixRecord f{};
  f.ValidFields = FIX_COMPLETE_BURST | FIX_MAG_VARIATION;
  f.UtcTime = SYSTEMTIME{2026, 12, 2, 6, 12, 3, 4, 5};
  f.Latitude = 48.1173;
  f.Longitude = -11.516666;
  f.Speed = 87.3f;
  f.Heading = 271.4f;
  f.MagVariation = -2.5f;
  f.AltitudeSeaLevel = 545.4f;
  f.Separation = 46.9f;
  f.FixQuality = 1;
  f.FixType = 2;
  f.SatelliteCount = 9;
  f.Pdop = 1.5f;
  f.Hdop = 0.9f;
  f.Vdop = 1.2f;
  f.SatellitesInView = 12;
  for (int i = 0; i < kMaxSatellites; ++i) {
    f.UsedPrns[i] = i < 9 ? static_cast<DWORD>(i + 2) : 0;
    f.InViewPrns[i] = static_cast<DWORD>(i + 2);
    f.InViewElevation[i] = static_cast<DWORD>(10 + 5 * i);
    f.InViewAzimuth[i] = static_cast<DWORD>(30 * i);
    f.InViewSnr[i] = 40;
  }
  return f;
}

static void FullBatch(benchmark::State& state) {
  FixRecord f = FullRecord();
  char out[kNmeaBatchSize];
  for (auto _ : state) {
    benchmark::DoNotOptimize(MakeNmeaBatch(&f, out, sizeof out));
    benchmark::ClobberMemory();
  }
  state.counters["batches/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(FullBatch);

static void EmptyRecordBatch(benchmark::State& state) {
  FixRecord f{};
  f.UtcTime = SYSTEMTIME{2026, 12, 2, 6, 12, 3, 4, 5};
  char out[kNmeaBatchSize];
  for (auto _ : state) benchmark::DoNotOptimize(MakeNmeaBatch(&f, out, sizeof out));
  state.counters["batches/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(EmptyRecordBatch);

BENCHMARK_MAIN();
