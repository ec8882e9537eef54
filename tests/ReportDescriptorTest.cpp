// The report-descriptor reader: capability records for real-looking and malformed descriptors.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "platform/ReportDescriptor.h"

using APIdeclarations::HIDP_CAPS;

namespace {

bool Parse(const std::vector<std::uint8_t>& descriptor, HIDP_CAPS& caps) {
  // A heap copy of exactly the descriptor's size, so a read past it is caught by the sanitizers.
  std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[descriptor.size() + 0]);
  std::copy(descriptor.begin(), descriptor.end(), exact.get());
  return ReportDescriptor::ParseCaps(exact.get(), descriptor.size(), caps);
}

HIDP_CAPS ParseOk(const std::vector<std::uint8_t>& descriptor) {
  HIDP_CAPS caps{};
  EXPECT_TRUE(Parse(descriptor, caps));
  return caps;
}

// A boot-protocol keyboard as HID 1.11 lays it out in its appendix.
const std::vector<std::uint8_t> BootKeyboard = {
    0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15, 0x00, 0x25, 0x01,
    0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0x95, 0x01, 0x75, 0x08, 0x81, 0x01, 0x95, 0x05, 0x75, 0x01,
    0x05, 0x08, 0x19, 0x01, 0x29, 0x05, 0x91, 0x02, 0x95, 0x01, 0x75, 0x03, 0x91, 0x01, 0x95, 0x06,
    0x75, 0x08, 0x15, 0x00, 0x25, 0x65, 0x05, 0x07, 0x19, 0x00, 0x29, 0x65, 0x81, 0x00, 0xC0};

// A vendor-defined device with 8-byte input and output reports, like the box controller.
const std::vector<std::uint8_t> VendorEightByte = {
    0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75,
    0x08, 0x95, 0x08, 0x09, 0x01, 0x81, 0x02, 0x09, 0x01, 0x91, 0x02, 0xC0};

TEST(ReportDescriptor, BootKeyboardHasA5BitLedOutputReportOfLength2) {
  const HIDP_CAPS caps = ParseOk(BootKeyboard);
  EXPECT_EQ(caps.UsagePage, 0x01);
  EXPECT_EQ(caps.Usage, 0x06);
  EXPECT_EQ(caps.InputReportByteLength, 9);
  EXPECT_EQ(caps.OutputReportByteLength, 2);
  EXPECT_EQ(caps.FeatureReportByteLength, 0);
  EXPECT_EQ(caps.NumberLinkCollectionNodes, 1);
  EXPECT_EQ(caps.NumberInputButtonCaps, 2);  // modifier bits and the key array
  EXPECT_EQ(caps.NumberInputValueCaps, 0);
  EXPECT_EQ(caps.NumberInputDataIndices, 8 + 102);
  EXPECT_EQ(caps.NumberOutputButtonCaps, 1);
  EXPECT_EQ(caps.NumberOutputDataIndices, 5);
}

TEST(ReportDescriptor, VendorEightByteReportsCountTheReportIdByte) {
  const HIDP_CAPS caps = ParseOk(VendorEightByte);
  EXPECT_EQ(caps.UsagePage, 0xFF00);
  EXPECT_EQ(caps.Usage, 0x01);
  EXPECT_EQ(caps.InputReportByteLength, 9);
  EXPECT_EQ(caps.OutputReportByteLength, 9);
  EXPECT_EQ(caps.NumberInputValueCaps, 1);
  EXPECT_EQ(caps.NumberInputDataIndices, 1);
  EXPECT_EQ(caps.NumberOutputValueCaps, 1);
}

TEST(ReportDescriptor, NumberedReportsTakeTheLargestOfEachType) {
  const HIDP_CAPS caps =
      ParseOk({0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x85, 0x01, 0x75, 0x08, 0x95, 0x03, 0x09,
               0x01, 0x91, 0x02, 0x85, 0x02, 0x95, 0x10, 0x09, 0x01, 0x91, 0x02, 0x85, 0x03, 0x95,
               0x04, 0x09, 0x02, 0x81, 0x02, 0x85, 0x04, 0x95, 0x02, 0x09, 0x03, 0xB1, 0x02, 0xC0});
  EXPECT_EQ(caps.OutputReportByteLength, 17);
  EXPECT_EQ(caps.InputReportByteLength, 5);
  EXPECT_EQ(caps.FeatureReportByteLength, 3);
  EXPECT_EQ(caps.NumberOutputValueCaps, 2);
}

TEST(ReportDescriptor, FieldsOfOneReportAddUpAcrossMainItems) {
  // 3 bits then 7 bits of output: 10 bits need 2 bytes, plus the report-ID byte.
  const HIDP_CAPS caps = ParseOk(
      {0x09, 0x01, 0xA1, 0x01, 0x75, 0x01, 0x95, 0x03, 0x91, 0x02, 0x95, 0x07, 0x91, 0x03, 0xC0});
  EXPECT_EQ(caps.OutputReportByteLength, 3);
  EXPECT_EQ(caps.NumberOutputButtonCaps, 1);  // the constant padding has no capability
}

TEST(ReportDescriptor, PushAndPopRestoreTheGlobalState) {
  const HIDP_CAPS caps =
      ParseOk({0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0x75, 0x08, 0x95, 0x02, 0xA4, 0x75, 0x10,
               0x95, 0x04, 0x09, 0x30, 0x81, 0x02, 0xB4, 0x09, 0x31, 0x81, 0x02, 0xC0});
  EXPECT_EQ(caps.InputReportByteLength, 1 + (64 + 16) / 8);
  EXPECT_EQ(caps.NumberInputValueCaps, 2);
}

TEST(ReportDescriptor, ManyValueUsagesGiveOneValueCapEach) {
  std::vector<std::uint8_t> descriptor = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1,
                                          0x01, 0x75, 0x08, 0x95, 0x14};
  for (std::uint8_t usage = 1; usage <= 20; ++usage) {
    descriptor.insert(descriptor.end(), {0x09, usage});
  }
  descriptor.insert(descriptor.end(), {0x81, 0x02, 0xC0});
  const HIDP_CAPS caps = ParseOk(descriptor);
  EXPECT_EQ(caps.NumberInputValueCaps, 20);
  EXPECT_EQ(caps.InputReportByteLength, 21);
}

TEST(ReportDescriptor, ExtendedUsageCarriesItsOwnPage) {
  const HIDP_CAPS caps = ParseOk({0x0B, 0x01, 0x00, 0x00, 0xFF, 0xA1, 0x01, 0xC0});
  EXPECT_EQ(caps.UsagePage, 0xFF00);
  EXPECT_EQ(caps.Usage, 0x01);
}

TEST(ReportDescriptor, LongItemsAreSkipped) {
  std::vector<std::uint8_t> descriptor = {0xFE, 0x03, 0x10, 0xAA, 0xBB, 0xCC};
  descriptor.insert(descriptor.end(), VendorEightByte.begin(), VendorEightByte.end());
  EXPECT_EQ(ParseOk(descriptor).OutputReportByteLength, 9);
}

TEST(ReportDescriptor, EmptyDescriptorHasNoReports) {
  const HIDP_CAPS caps = ParseOk({});
  EXPECT_EQ(caps.InputReportByteLength, 0);
  EXPECT_EQ(caps.OutputReportByteLength, 0);
}

TEST(ReportDescriptor, MalformedDescriptorsAreRejectedAndLeaveCapsAlone) {
  const std::vector<std::vector<std::uint8_t>> malformed = {
      {0x05, 0x01, 0x09},                    // short item cut off
      {0x27, 0xFF, 0xFF},                    // 4-byte item cut off
      {0xFE, 0x05, 0x00, 0x01, 0x02},        // long item cut off
      {0xFE, 0x01},                          // long item header cut off
      {0xB4},                                // pop without push
      {0xC0},                                // end without collection
      {0x85, 0x00},                          // report ID 0
      {0x86, 0x00, 0x01},                    // report ID 256
      {0x19, 0x05, 0x29, 0x01, 0x81, 0x02},  // usage range upside down
      {0x77, 0xFF, 0xFF, 0xFF, 0xFF, 0x97, 0xFF, 0xFF, 0xFF, 0xFF, 0x91, 0x02},  // 2^64 bits
      {0x75, 0x10, 0x96, 0x00, 0x80, 0x91, 0x02},  // 65536 bytes: too long for 16 bits
  };
  for (const auto& descriptor : malformed) {
    HIDP_CAPS caps{};
    caps.OutputReportByteLength = 77;
    EXPECT_FALSE(Parse(descriptor, caps)) << testing::PrintToString(descriptor);
    EXPECT_EQ(caps.OutputReportByteLength, 77);
  }
  std::vector<std::uint8_t> deepPush(17, 0xA4);
  HIDP_CAPS caps{};
  EXPECT_FALSE(Parse(deepPush, caps));
  deepPush.pop_back();
  EXPECT_TRUE(Parse(deepPush, caps));
}

TEST(ReportDescriptor, RandomBytesNeverReadPastTheEnd) {
  std::mt19937 random(20261207);
  for (int round = 0; round < 2000; ++round) {
    std::vector<std::uint8_t> descriptor(random() % 64);
    for (auto& byte : descriptor) {
      byte = static_cast<std::uint8_t>(random());
    }
    HIDP_CAPS caps{};
    Parse(descriptor, caps);
  }
}

}  // namespace
