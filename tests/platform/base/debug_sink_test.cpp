// The debugger output copied to a stream for a user: each line time-stamped once, however many
// pieces it arrives in.
#include "platform/base/debug_sink.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <string>

namespace {

std::string Written(std::FILE* file) {
  std::fflush(file);
  std::rewind(file);
  std::string text;
  for (int c; (c = std::fgetc(file)) != EOF;) text += static_cast<char>(c);
  return text;
}

TEST(DebugSink, AStampedStreamStampsEachLineOnceAndTheCaptureStaysPlain) {
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  platform::DebugSink sink;
  platform::DebugSink::Capture capture(sink);
  sink.SetStream(file, true);
  for (const char* piece : {"<", "01,", "02>\nREAD ", "TIMEOUT\n", "a\nb\n"}) sink.Deliver(piece);
  const std::string stamp = "[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3} ";
  const std::regex expected(stamp + "<01,02>\n" + stamp + "READ TIMEOUT\n" + stamp + "a\n" + stamp +
                            "b\n");
  EXPECT_TRUE(std::regex_match(Written(file), expected)) << Written(file);
  EXPECT_EQ(capture.Text(), "<01,02>\nREAD TIMEOUT\na\nb\n");
  sink.SetStream(nullptr);
  std::fclose(file);
}

}  // namespace
