// The framer that turns a receiver's bytes into sentences and cycles for the driver, the decoder
// and the lab alike.
#include <gtest/gtest.h>
#include <cstdio>
#include <string>
#include <vector>
#include "capture_cycles.h"
#include "nmea_sentence.h"
#include "port_driver/nmea_framer.h"
#include "port_driver/nmea_parser.h"

namespace {

const std::string kGga1 = Sentence("$GPGGA,120000.00,4807.0380,N,01131.0000,E,1,05,1.2,545.4,M,46.9,M,,");
const std::string kRmc1 = Sentence("$GPRMC,120000.00,A,4807.0380,N,01131.0000,E,10.0,90.0,061226,,,A");
const std::string kGga2 = Sentence("$GPGGA,120001.00,4807.0390,N,01131.0010,E,1,05,1.2,545.4,M,46.9,M,,");

struct Framed {
  std::vector<std::string> lines;  // sentences taken; "-" for a line without one; "|" a cycle end
};

// Feeds `bytes` in pieces of `piece` bytes, parsing as the driver does.
Framed Frame(const std::string& bytes, size_t piece, bool strict = false, bool split = true) {
  static NmeaFramer f;
  NmeaFramerReset(&f, strict, split);
  FixRecord fix{};
  Framed out;
  for (size_t at = 0; at < bytes.size(); at += piece) {
    std::string part = bytes.substr(at, piece);
    EXPECT_EQ(NmeaFramerPush(&f, part.data(), static_cast<DWORD>(part.size())), part.size());
    for (;;) {
      NmeaFrame frame;
      NmeaFramerNext(&f, &frame);
      if (frame.kind == FRAME_MORE) break;
      if (frame.kind == FRAME_CYCLE_END) {
        EXPECT_TRUE(NmeaFramerHasLine(&f));  // the next cycle's line is held, not lost
        NmeaFinishCycle(&f.source, &fix);
        fix = FixRecord{};
        out.lines.push_back("|");
        continue;
      }
      out.lines.push_back(frame.sentence ? frame.sentence : "-");
      if (frame.sentence) NmeaParse(&f.source, frame.sentence, &fix);
    }
  }
  return out;
}

std::vector<std::string> L(std::initializer_list<std::string> l) { return l; }

TEST(NmeaFramerTest, LinesCutAnywhereComeOutWhole) {
  std::string bytes = kGga1 + kRmc1 + kGga2;
  for (size_t piece : {1u, 7u, 64u, 1000u})
    EXPECT_EQ(Frame(bytes, piece).lines, L({kGga1, kRmc1, "|", kGga2})) << piece;
  // Without cycle ends (strict serial reading ends bursts at a quiet port instead).
  EXPECT_EQ(Frame(bytes, 5, true, false).lines, L({kGga1, kRmc1, kGga2}));
}

TEST(NmeaFramerTest, DamagedLinesAndJunk) {
  std::string bad = kGga1;
  bad[10] = '9';  // checksum now wrong
  std::string bytes = "\x01\x02 binary" + kGga1 + bad + "noise without a dollar\r\n" + "xx$GPRMC,garbage*00\r\n";
  // Default: the sentence after binary bytes is found; a damaged one is a line without a sentence.
  EXPECT_EQ(Frame(bytes, 9).lines, L({kGga1, "-", "-"}));
  // Strict: each line from its '$', the checksum left to the parser.
  EXPECT_EQ(Frame(bytes, 9, true, false).lines, L({kGga1, bad, "$GPRMC,garbage*00\r\n"}));
}

TEST(NmeaFramerTest, OverlongLinesAreDroppedWithoutLosingTheNext) {
  std::string body = "$GPTXT,";
  std::string at125 = body + std::string(125 - body.size(), 'a') + "\r\n";
  std::string at126 = body + std::string(126 - body.size(), 'a') + "\r\n";
  EXPECT_EQ(Frame(at125 + kGga1, 16, true).lines, L({at125, kGga1}));
  EXPECT_EQ(Frame(at126 + kGga1, 16, true).lines, L({kGga1}));
  // A '$' that never ends within a sentence's length: the buffer never fills with it.
  std::string endless = "$" + std::string(3000, 'z') + kGga1;
  EXPECT_EQ(Frame(endless, 1000).lines, L({kGga1}));
}

TEST(NmeaFramerTest, APartialLineWaitsAndAFileEndEndsIt) {
  static NmeaFramer f;
  NmeaFramerReset(&f, false, true);
  std::string noEnd = kGga1.substr(0, kGga1.size() - 2);
  NmeaFramerPush(&f, noEnd.data(), static_cast<DWORD>(noEnd.size()));
  NmeaFrame frame;
  NmeaFramerNext(&f, &frame);
  EXPECT_EQ(frame.kind, FRAME_MORE);
  EXPECT_FALSE(NmeaFramerHasLine(&f));
  NmeaFramerEndInput(&f);
  NmeaFramerNext(&f, &frame);
  ASSERT_EQ(frame.kind, FRAME_LINE);
  EXPECT_EQ(std::string(frame.sentence), kGga1);
  EXPECT_EQ(frame.lineBytes, kGga1.size());
}

void Count(const FixRecord& f, void* n) { static_cast<std::vector<FixRecord>*>(n)->push_back(f); }

TEST(NmeaFramerTest, CapturesAreReadThroughTheFramerWithoutTheirComments) {
  std::string text = "# a capture's comment quoting " + kGga2 + kGga1 + kRmc1 + "junk" + kGga2.substr(0, kGga2.size() - 2);
  FILE* in = fmemopen(text.data(), text.size(), "rb");
  std::vector<FixRecord> cycles;
  ASSERT_EQ(ReadCaptureCycles(in, false, Count, &cycles), 0);
  fclose(in);
  ASSERT_EQ(cycles.size(), 2u);
  EXPECT_EQ(cycles[0].UtcTime.wSecond, 0);  // the comment's sentence was not read
  EXPECT_EQ(cycles[1].UtcTime.wSecond, 1);  // the last line, without its line end, was
}

}  // namespace
