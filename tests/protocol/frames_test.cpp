#include <gtest/gtest.h>

#include <string>

#include "protocol/frame_codes.h"
#include "protocol/crc16.h"

using namespace mirvo;

namespace {
std::string Bytes(std::initializer_list<int> v) {
  std::string s;
  for (int b : v) s.push_back(static_cast<char>(b));
  return s;
}
}  // namespace

TEST(Crc16, PublishedCheckValueAndEmptyBlock) {
  EXPECT_EQ(Crc16("123456789", 9), 0x31C3);
  EXPECT_EQ(Crc16("", 0), 0x0000);
  EXPECT_EQ(Crc16("GET_LIST\r\n", 10), 0x819A);
}

TEST(Crc16, MatchesTheBitwiseDefinitionOnEveryByteValue) {
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  std::uint16_t crc = 0;
  for (unsigned char c : all) {
    crc ^= static_cast<std::uint16_t>(c << 8);
    for (int bit = 0; bit < 8; ++bit) crc = static_cast<std::uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
  }
  EXPECT_EQ(Crc16(all.data(), all.size()), crc);
}

TEST(MakeDataFrame, TextFramesOfTheWireExamples) {
  std::string out;
  EXPECT_EQ(MakeDataFrame(&out, kEtx, "GET_LIST", 8, true), 15);
  EXPECT_EQ(out, Bytes({0x03, 0x00, 0x0A, 'G', 'E', 'T', '_', 'L', 'I', 'S', 'T', 0x0D, 0x0A, 0x81, 0x9A}));

  std::string ok;
  EXPECT_EQ(MakeDataFrame(&ok, kEtx, "OK", 2, true), 9);
  EXPECT_EQ(ok, Bytes({0x03, 0x00, 0x04, 'O', 'K', 0x0D, 0x0A, 0x80, 0x38}));
}

TEST(MakeDataFrame, EmptyFrameAndAppendingToAStream) {
  std::string out = "xy";
  EXPECT_EQ(MakeDataFrame(&out, kEtx, nullptr, 0, false), 7);
  EXPECT_EQ(out, "xy" + Bytes({0x03, 0x00, 0x00, 0x00, 0x00}));
  EXPECT_EQ(MakeDataFrame(nullptr, kEtx, "a", 1, false), -1);
}

TEST(MakeDataFrame, FullFileFrameCarriesControlBytesAsData) {
  std::string data(1024, '\x06');
  data[0] = kStx;
  data[1] = kEtx;
  std::string out;
  EXPECT_EQ(MakeDataFrame(&out, kStx, data.data(), 1024, false), 1029);
  EXPECT_EQ(out.substr(0, 3), Bytes({0x02, 0x04, 0x00}));
  EXPECT_EQ(out.substr(3, 1024), data);
  const std::uint16_t crc = Crc16(data.data(), data.size());
  EXPECT_EQ(static_cast<unsigned char>(out[1027]), crc >> 8);
  EXPECT_EQ(static_cast<unsigned char>(out[1028]), crc & 0xFF);
}

TEST(MakeDataFrame, RefusesDataTheLengthFieldCannotHold) {
  std::string big(65534, 'a');
  std::string out;
  EXPECT_EQ(MakeDataFrame(&out, kEtx, big.data(), 65534, false), 65539);
  out.clear();
  EXPECT_EQ(MakeDataFrame(&out, kEtx, big.data(), 65534, true), -1);  // 65536 with CR LF
  EXPECT_TRUE(out.empty());
}

TEST(ControlName, SixNamesAndUnknown) {
  EXPECT_STREQ(ControlName(0x02), "STX");
  EXPECT_STREQ(ControlName(0x03), "ETX");
  EXPECT_STREQ(ControlName(0x04), "EOT");
  EXPECT_STREQ(ControlName(0x05), "ENQ");
  EXPECT_STREQ(ControlName(0x06), "ACK");
  EXPECT_STREQ(ControlName(0x15), "NAK");
  EXPECT_STREQ(ControlName(0x00), "UnKnown");
  EXPECT_STREQ(ControlName(0x16), "UnKnown");
}
