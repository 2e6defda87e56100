#include "detect/report_buffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using zandrel::CReportBuffer;

TEST(ReportBuffer, AppendsTextAndBytesWithoutTerminatorOrLineBreak) {
  CReportBuffer b(64);
  b.Reset();
  b.Append("\r\nab");
  b.AppendBytes("UDP-13-bytes!", 13);
  b.Append("next");
  b.Append("");
  EXPECT_EQ(std::string(b.Data(), b.Length()), "\r\nabUDP-13-bytes!next");
  EXPECT_EQ(b.Data()[b.Length()], '\0');  // zero from Reset, not from Append
  EXPECT_EQ(b.Capacity(), 64);
}

TEST(ReportBuffer, AppendThatDoesNotFitIsCutAndNeverWritesPastCapacity) {
  // The guard bytes around the buffer's storage are checked by the sanitizer
  // build; here the visible contract: cut to capacity - 1, terminated.
  CReportBuffer b(10);
  b.Reset();
  b.Append("12345");
  b.Append("abcdefgh");
  EXPECT_EQ(b.Length(), 9);
  EXPECT_EQ(std::string(b.Data()), "12345abcd");
  b.AppendBytes("zz", 2);
  b.Append("more");
  EXPECT_EQ(b.Length(), 9);
  b.Terminate();
  EXPECT_EQ(b.Data()[9], '\0');
  EXPECT_EQ(b.Room(), 0);
}

TEST(ReportBuffer, ResetEmptiesAndZeroFills) {
  CReportBuffer b(8);
  b.Reset();
  b.Append("abcdefg");
  b.Reset();
  EXPECT_EQ(b.Length(), 0);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(b.Data()[i], '\0');
  b.AppendBytes(nullptr, 5);
  b.AppendBytes("x", -3);
  EXPECT_EQ(b.Length(), 0);
}

TEST(ReportBuffer, ReleasedBufferTakesNothing) {
  CReportBuffer b(8);
  b.Reset();
  b.Release();
  b.Append("abc");
  b.Terminate();
  EXPECT_EQ(b.Length(), 0);
  EXPECT_EQ(b.Data(), nullptr);
}
