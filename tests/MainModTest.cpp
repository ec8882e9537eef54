// The console front end: usage, argument conversion, echoes, the send sequence, exit statuses.
#include <gtest/gtest.h>

#include "device/WriteToDeviceMod.h"
#include "frontend/MainMod.h"
#include "tests/ScriptedPlatform.h"
#include "tests/TestText.h"

using namespace TestText;

namespace {

Scripted::Device Target() {
  return Scripted::MakeDevice("\\\\?\\hid#vid_6666&pid_f100#1", 0x6666, 0xF100);
}

Scripted::Device OtherDevice() {
  return Scripted::MakeDevice("\\\\?\\hid#vid_046d&pid_c077#1", 0x046D, 0xC077);
}

TEST(Usage, NoArgumentsPrintsBannerAndUsageOnlyAndSucceeds) {
  Scripted::Start(Scripted::Script{{Target()}});
  EXPECT_EQ(Scripted::RunMain(""), 0);
  EXPECT_EQ(Scripted::Stdout, Banner + "\r\nSyntax: zendrocast.exe <box 0/1> <byte1> <byte2> \r\n");
  EXPECT_TRUE(Scripted::Calls.empty());
  EXPECT_TRUE(Scripted::Stderr.empty());
}

struct GoodArguments {
  const char* text;
  const char* echo;
  std::uint8_t selector, byte1, byte2;
};

void PrintTo(const GoodArguments& arguments, std::ostream* out) {
  *out << '"' << arguments.text << '"';
}

class WellFormedArguments : public testing::TestWithParam<GoodArguments> {};

TEST_P(WellFormedArguments, EchoAndSendTheConvertedValues) {
  const GoodArguments& arguments = GetParam();
  Scripted::Start(Scripted::Script{{Target()}});
  EXPECT_EQ(Scripted::RunMain(arguments.text), 0);
  EXPECT_EQ(Scripted::Stdout.rfind(Echo(arguments.text) + "\r\n" + arguments.echo + "\r\n", 0), 0u)
      << Scripted::Stdout;
  ASSERT_EQ(Scripted::DeviceWrites.size(), 10u);
  const std::vector<std::uint8_t> report = {
      0, arguments.selector, arguments.byte1, arguments.byte2, 122, 122, 122, 122, 122};
  EXPECT_EQ(Scripted::DeviceWrites.front().Bytes, report);
}

INSTANTIATE_TEST_SUITE_P(ArgumentTable, WellFormedArguments,
                         testing::Values(GoodArguments{"0 0 0", "1:48 2:0 3:0", 48, 0, 0},
                                         GoodArguments{"1 10 20", "1:49 2:10 3:20", 49, 10, 20},
                                         GoodArguments{"5 255 1", "1:49 2:255 3:1", 49, 255, 1},
                                         GoodArguments{"255 1 1", "1:49 2:1 3:1", 49, 1, 1},
                                         GoodArguments{"+1 -0 007", "1:49 2:0 3:7", 49, 0, 7},
                                         GoodArguments{"0 1 2\t", "1:48 2:1 3:2", 48, 1, 2},
                                         GoodArguments{"0\t 1 2", "1:48 2:1 3:2", 48, 1, 2}));

struct BadArguments {
  const char* text;
  const char* message;
};

void PrintTo(const BadArguments& arguments, std::ostream* out) {
  *out << '"' << arguments.text << '"';
}

class MalformedArguments : public testing::TestWithParam<BadArguments> {};

TEST_P(MalformedArguments, StopAfterTheEchoWithoutTouchingTheDevice) {
  const BadArguments& arguments = GetParam();
  Scripted::Start(Scripted::Script{{Target()}});
  EXPECT_EQ(Scripted::RunMain(arguments.text), WriteToDeviceMod::ExitBadArgument);
  EXPECT_EQ(Scripted::Stdout, Echo(arguments.text));
  EXPECT_EQ(Scripted::Stderr, std::string("zendrocast: ") + arguments.message + "\r\n");
  EXPECT_TRUE(Scripted::Calls.empty());
  EXPECT_TRUE(Scripted::DeviceWrites.empty());
}

const char* const NotANumber = "type mismatch (not a decimal integer)";

INSTANTIATE_TEST_SUITE_P(
    ArgumentTable, MalformedArguments,
    testing::Values(
        BadArguments{"1 10",
                     "field 2: invalid argument (no blank after it: three fields are needed)"},
        BadArguments{"7", "field 2: invalid argument (no blank after it: three fields are needed)"},
        BadArguments{"1  10 20", "field 2: type mismatch (not a decimal integer)"},
        BadArguments{"1 256 0", "field 2: overflow (outside 0..255)"},
        BadArguments{"1 10 -1", "field 3: overflow (outside 0..255)"},
        BadArguments{"1 10 20 30", "field 3: type mismatch (not a decimal integer)"},
        BadArguments{" 1 10 20", "field 1: type mismatch (not a decimal integer)"},
        BadArguments{"x 10 20", "field 1: type mismatch (not a decimal integer)"},
        BadArguments{"1 10 ", "field 3: type mismatch (not a decimal integer)"},
        BadArguments{"1 0x10 2", "field 2: type mismatch (not a decimal integer)"},
        BadArguments{"1 1.5 2", "field 2: type mismatch (not a decimal integer)"},
        BadArguments{"1 - 2", "field 2: type mismatch (not a decimal integer)"},
        BadArguments{"1 32768 2", "field 2: overflow (outside -32768..32767)"},
        BadArguments{"1 -32769 2", "field 2: overflow (outside -32768..32767)"},
        BadArguments{"1 -32768 2", "field 2: overflow (outside 0..255)"},
        BadArguments{"99999999999999999999999 1 2", "field 1: overflow (outside -32768..32767)"},
        // Field 1 is converted first, so its error wins over a later field's.
        BadArguments{"x 999 y", "field 1: type mismatch (not a decimal integer)"}));

std::string ConversionError(const std::string& text) {
  try {
    MainMod::ConvertArgumentText(text);
  } catch (const WriteToDeviceMod::RunError& error) {
    EXPECT_EQ(error.ExitStatus, WriteToDeviceMod::ExitBadArgument);
    return error.what();
  }
  return "no error";
}

TEST(ArgumentPositions, PositionsPast32767Overflow) {
  const std::string beyond = "overflow (position beyond character 32767)";
  // The first blank itself at 32768.
  EXPECT_EQ(ConversionError(std::string(32767, '1') + " 1 2"), "field 1: " + beyond);
  // The first blank at 32767: the position after it overflows.
  EXPECT_EQ(ConversionError(std::string(32766, '1') + " 1 2"), "field 2: " + beyond);
  // The second blank at 32767: the start of field 3 overflows.
  EXPECT_EQ(ConversionError(std::string(32764, '0') + " 1 2"), "field 3: " + beyond);
  // Just inside the range the text cuts and converts normally.
  EXPECT_EQ(MainMod::ConvertArgumentText(std::string(32761, '0') + "1 2 3").Byte2, 3);
}

TEST(SendSequence, RunWithOtherDeviceThenTargetPrintsTheWholeTraceByteForByte) {
  Scripted::Start(Scripted::Script{{OtherDevice(), Target()}});
  EXPECT_EQ(Scripted::RunMain("1 10 20"), 0);

  const std::string ok = "The operation completed successfully.";
  const std::string small = "The data area passed to a system call is too small.";
  const std::string candidate =
      Lines({"SetupDiEnumDeviceInterfaces : " + ok, "SetupDiGetDeviceInterfaceDetail : " + small,
             " Result of second call:  : " + small, "CreateFile : " + small,
             "HidD_GetAttributes : " + small});
  const std::string expected =
      Lines({"Console Application Example In Visual Basic.", "", "Command Line Parameters: 1 10 20",
             "", "1:49 2:10 3:20", "GetHidGuid : " + ok, "SetupDiClassDevs : " + ok}) +
      candidate + Lines({"CloseHandle : " + small}) +
      Lines({"SetupDiEnumDeviceInterfaces : " + small, "SetupDiGetDeviceInterfaceDetail : " + small,
             " Result of second call:  : " + small, "CreateFile : " + small,
             "HidD_GetAttributes : " + small, "DestroyDeviceInfoList : " + small,
             "HidD_GetPreparsedData : " + small, "RtlMoveMemory : " + small,
             "HidP_GetCaps : " + small, "HidP_GetValueCaps : " + small,
             "HidD_FreePreparsedData : " + small, "CreateFile, ReadHandle : " + small,
             "CreateEvent : " + small, "WriteFile : " + small}) +
      Repeat(Lines({"", "", "WriteFile : " + small}), 9);
  EXPECT_EQ(Scripted::Stdout, expected);
  EXPECT_EQ(std::count(expected.begin(), expected.end(), '\n'), 54);

  const std::vector<std::uint8_t> report = {0, 49, 10, 20, 122, 122, 122, 122, 122};
  ASSERT_EQ(Scripted::DeviceWrites.size(), 10u);
  for (const Scripted::DeviceWrite& write : Scripted::DeviceWrites) {
    EXPECT_EQ(write.Path, Target().Path);
    EXPECT_EQ(write.Bytes, report);
  }
  EXPECT_TRUE(Scripted::Stderr.empty());
}

TEST(SendSequence, DeviceAbsentMakesTenPassesWithNineSeparatorsAndExitsOne) {
  Scripted::Start(Scripted::Script{{OtherDevice()}});
  EXPECT_EQ(Scripted::RunMain("0 1 2"), WriteToDeviceMod::ExitNotAllSent);

  const std::vector<std::string> pass = {"GetHidGuid",
                                         "SetupDiClassDevs",
                                         "SetupDiEnumDeviceInterfaces",
                                         "SetupDiGetDeviceInterfaceDetail",
                                         " Result of second call: ",
                                         "CreateFile",
                                         "HidD_GetAttributes",
                                         "CloseHandle",
                                         "SetupDiEnumDeviceInterfaces",
                                         "DestroyDeviceInfoList",
                                         "Failed to find hardware"};
  std::vector<std::string> expected = {"Console Application Example In Visual Basic.", "",
                                       "Command Line Parameters: 0 1 2", "", "1:48 2:1 3:2"};
  for (int send = 1; send <= 10; ++send) {
    expected.insert(expected.end(), pass.begin(), pass.end());
    if (send != 10) {
      expected.insert(expected.end(), {"", ""});
    }
  }
  EXPECT_EQ(Labels(Scripted::Stdout), expected);
  EXPECT_EQ(std::count(Scripted::Calls.begin(), Scripted::Calls.end(), "HidD_GetHidGuid"), 10);
  EXPECT_TRUE(Scripted::DeviceWrites.empty());
  // Every pass starts its member index at 0.
  EXPECT_EQ(
      std::count(Scripted::Calls.begin(), Scripted::Calls.end(), "SetupDiEnumDeviceInterfaces 0"),
      10);
}

TEST(ExitStatus, FailedWriteTracesAndExitsOneButKeepsSending) {
  Scripted::Device device = Target();
  device.WriteError = Scripted::ERROR_DEVICE_NOT_CONNECTED;
  device.WritesBeforeFailure = 3;
  Scripted::Script script{{device}};
  script.Texts[Scripted::ERROR_DEVICE_NOT_CONNECTED] = "The device is not connected.";
  Scripted::Start(script);
  EXPECT_EQ(Scripted::RunMain("1 10 20"), WriteToDeviceMod::ExitNotAllSent);
  EXPECT_EQ(Scripted::DeviceWrites.size(), 3u);
  EXPECT_EQ(std::count(Scripted::Calls.begin(), Scripted::Calls.end(), "WriteFile"), 10);
  // No new pass after the device went away.
  EXPECT_EQ(std::count(Scripted::Calls.begin(), Scripted::Calls.end(), "HidD_GetHidGuid"), 1);
  const std::string tail = Repeat(Lines({"", "", "WriteFile : The device is not connected."}), 7);
  EXPECT_EQ(Scripted::Stdout.substr(Scripted::Stdout.size() - tail.size()), tail);
}

TEST(ExitStatus, PartialWriteIsNotASuccess) {
  Scripted::Device device = Target();
  device.ShortWrites = true;
  Scripted::Start(Scripted::Script{{device}});
  EXPECT_EQ(Scripted::RunMain("1 10 20"), WriteToDeviceMod::ExitNotAllSent);
}

TEST(ExitStatus, ShortOutputReportStopsWithRangeErrorBeforeAnyWrite) {
  Scripted::Device device = Target();
  device.OutputReportByteLength = 8;
  Scripted::Start(Scripted::Script{{device}});
  EXPECT_EQ(Scripted::RunMain("1 10 20"), WriteToDeviceMod::ExitShortReport);
  EXPECT_TRUE(Scripted::DeviceWrites.empty());
  EXPECT_EQ(std::count(Scripted::Calls.begin(), Scripted::Calls.end(), "WriteFile"), 0);
  EXPECT_EQ(Scripted::Stderr,
            "zendrocast: output report length 8: out of range (the report needs at least 9 "
            "bytes)\r\n");
  // The discovery trace is on the console; it ends with the read channel, not a write.
  const std::string end = "CreateEvent : ";
  EXPECT_NE(Scripted::Stdout.rfind(end), std::string::npos);
  EXPECT_EQ(Scripted::Stdout.find("WriteFile"), std::string::npos);
}

}  // namespace
