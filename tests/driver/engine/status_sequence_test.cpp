// Sequence handling and decoding of status packets, on the channel record alone.
#include <cstring>

#include "tests/driver/support/port_side.h"

namespace driver_test {
namespace {

// Runs one packet with sequence byte `sequence` through the sequence handling.
void Receive(StatusChannel& channel, UCHAR sequence, const UCHAR (&word)[3] = {0, 0, 0}) {
  std::memset(channel.buffer, 0, sizeof(channel.buffer));
  std::memcpy(channel.buffer, word, 3);
  channel.buffer[4] = 0x21;
  channel.buffer[6] = 0x0B;
  channel.buffer[7] = sequence;
  IsoUsb_StatusPktControlProtocol(&channel);
}

TEST(StatusSequence, AfterAStartTheFirstPacketIsDroppedAndTheNextOnesDecoded) {
  StatusChannel channel{};
  const UCHAR word[3] = {0x05, 0, 0};
  Receive(channel, 7, word);
  EXPECT_EQ(channel.resyncSeq, 8u);
  EXPECT_EQ(channel.modemTxLevel, 0u);  // not decoded
  Receive(channel, 8, word);
  EXPECT_EQ(channel.modemTxLevel, 5u);
  EXPECT_EQ(channel.outSequence, 0x21u);
  EXPECT_EQ(channel.lineBits, 0x0Bu);
  Receive(channel, 9, word);
  EXPECT_EQ(channel.expectedSeq, 10u);
  EXPECT_EQ(channel.resyncSeq, 0u);
}

TEST(StatusSequence, AGapDropsOnePacketAndTheNextInSequenceResyncs) {
  StatusChannel channel{};
  channel.expectedSeq = 10;
  channel.modemTxLevel = 99;
  const UCHAR word[3] = {0x07, 0, 0};
  Receive(channel, 12, word);
  EXPECT_EQ(channel.resyncSeq, 13u);
  EXPECT_EQ(channel.expectedSeq, 10u);
  EXPECT_EQ(channel.modemTxLevel, 99u);  // out of sequence changes nothing else
  Receive(channel, 13, word);
  EXPECT_EQ(channel.expectedSeq, 14u);
  EXPECT_EQ(channel.modemTxLevel, 7u);
}

TEST(StatusSequence, TwoHundredFiftyFourWrapsToOne) {
  StatusChannel channel{};
  channel.expectedSeq = 254;
  Receive(channel, 254);
  EXPECT_EQ(channel.expectedSeq, 1u);
  Receive(channel, 254);  // now out of sequence
  EXPECT_EQ(channel.resyncSeq, 1u);
  Receive(channel, 1);
  EXPECT_EQ(channel.expectedSeq, 2u);
}

TEST(StatusSequence, ZeroSequenceCountsEmptyPacketsUntilTheExpectedOneComes) {
  StatusChannel channel{};
  channel.expectedSeq = 5;
  channel.resyncSeq = 9;
  for (int i = 0; i < 5; ++i) Receive(channel, 0);
  EXPECT_EQ(channel.emptyCount, 5u);
  EXPECT_EQ(channel.resyncSeq, 0u);
  Receive(channel, 5);
  EXPECT_EQ(channel.emptyCount, 0u);
}

TEST(StatusSequence, TheLevelWordDecodesToLevelsAndTheIndicationFlag) {
  StatusChannel channel{};
  channel.expectedSeq = 1;
  const UCHAR word[3] = {0x8C, 0x36, 0x40};  // W = 0x40368C
  Receive(channel, 1, word);
  EXPECT_EQ(channel.modemTxLevel, 1676u);
  EXPECT_EQ(channel.modemRxLevel, 6u);
  EXPECT_EQ(channel.statusFlags, 1u);
}

}  // namespace
}  // namespace driver_test
