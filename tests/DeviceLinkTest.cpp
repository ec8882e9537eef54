// The device link: discovery passes, capability reads, report writes and their trace lines.
#include <gtest/gtest.h>

#include <algorithm>

#include "device/WriteToDeviceMod.h"
#include "tests/ScriptedPlatform.h"
#include "tests/TestText.h"

using namespace TestText;
using Scripted::MakeDevice;
using WriteToDeviceMod::Link;

namespace {

const Scripted::Device Target = MakeDevice("dev-target", 0x6666, 0xF100);
const Scripted::Device Mouse = MakeDevice("dev-mouse", 0x046D, 0xC077);

void SendOnce() {
  const std::uint8_t b[8] = {49, 10, 20, 122, 122, 122, 122, 122};
  WriteToDeviceMod::SendReport(b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7]);
}

std::vector<std::string> CallsStartingWith(const std::string& prefix) {
  std::vector<std::string> calls;
  std::copy_if(Scripted::Calls.begin(), Scripted::Calls.end(), std::back_inserter(calls),
               [&](const std::string& call) { return call.rfind(prefix, 0) == 0; });
  return calls;
}

TEST(Discovery, TwoMatchingDevicesOpenOnlyTheFirstAndMakeNoCallsForTheSecond) {
  Scripted::Device second = Target;
  second.Path = "dev-target-2";
  Scripted::Start(Scripted::Script{{Target, second}});
  EXPECT_TRUE(WriteToDeviceMod::FindDevice());
  EXPECT_EQ(Link.DevicePath, "dev-target");
  EXPECT_EQ(CallsStartingWith("SetupDiEnumDeviceInterfaces"),
            std::vector<std::string>{"SetupDiEnumDeviceInterfaces 0"});
  EXPECT_EQ(
      CallsStartingWith("CreateFileA"),
      (std::vector<std::string>{"CreateFileA dev-target", "CreateFileA dev-target overlapped"}));
  EXPECT_EQ(CallsStartingWith("CloseHandle").size(), 0u);
  EXPECT_EQ(Scripted::Calls.front(), "HidD_GetHidGuid");
  EXPECT_EQ(Scripted::Calls[1], "SetupDiGetClassDevsA 18");
  EXPECT_NE(Link.ReadEvent, 0);
  EXPECT_EQ(Link.ReadOverlapped.hEvent, Link.ReadEvent);
}

TEST(Discovery, SameVendorOtherProductIsOpenedReadClosedAndPassedOver) {
  Scripted::Start(Scripted::Script{{MakeDevice("dev-sibling", 0x6666, 0xF101), Target}});
  EXPECT_TRUE(WriteToDeviceMod::FindDevice());
  EXPECT_EQ(Scripted::Calls[2], "SetupDiEnumDeviceInterfaces 0");
  EXPECT_EQ(Scripted::Calls[5], "CreateFileA dev-sibling");
  EXPECT_EQ(Scripted::Calls[6], "HidD_GetAttributes");
  EXPECT_EQ(Scripted::Calls[7], "CloseHandle");
  EXPECT_EQ(Link.DevicePath, "dev-target");
}

TEST(Discovery, NoInterfacesTracesFourLines) {
  Scripted::Start(Scripted::Script{});
  EXPECT_FALSE(WriteToDeviceMod::FindDevice());
  EXPECT_EQ(Labels(Scripted::Stdout),
            (std::vector<std::string>{"GetHidGuid", "SetupDiClassDevs",
                                      "SetupDiEnumDeviceInterfaces", "DestroyDeviceInfoList"}));
  EXPECT_FALSE(Link.DeviceFound);
  EXPECT_TRUE(Link.EnumExhausted);
}

TEST(Discovery, SetThatFailsToOpenEndsThePassWithoutAMatch) {
  Scripted::Script script{{Target}};
  script.SetError = Scripted::ERROR_INVALID_PARAMETER;
  Scripted::Start(script);
  EXPECT_FALSE(WriteToDeviceMod::FindDevice());
  EXPECT_EQ(Scripted::Stdout, Lines({"GetHidGuid : The operation completed successfully.",
                                     "SetupDiClassDevs : The parameter is incorrect.",
                                     "SetupDiEnumDeviceInterfaces : The parameter is incorrect.",
                                     "DestroyDeviceInfoList : The handle is invalid."}));
}

TEST(Discovery, CandidateThatCannotBeOpenedIsTracedAndSkipped) {
  Scripted::Device locked = Mouse;
  locked.OpenError = Scripted::ERROR_ACCESS_DENIED;
  Scripted::Start(Scripted::Script{{locked, Target}});
  EXPECT_TRUE(WriteToDeviceMod::FindDevice());
  const std::vector<std::string> lines = Labels(Scripted::Stdout);
  ASSERT_GE(lines.size(), 8u);
  EXPECT_NE(Scripted::Stdout.find("CreateFile : Access is denied.\r\n"
                                  "HidD_GetAttributes : The handle is invalid.\r\n"
                                  "CloseHandle : The handle is invalid.\r\n"),
            std::string::npos);
  EXPECT_EQ(Link.DevicePath, "dev-target");
}

TEST(Discovery, SizeQueryBelowTheSizeFieldLeavesAnEmptyPathAndNoOverrun) {
  Scripted::Device odd = Mouse;
  odd.RequiredSizeOverride = 1;
  Scripted::Start(Scripted::Script{{odd, Target}});
  EXPECT_TRUE(WriteToDeviceMod::FindDevice());
  EXPECT_EQ(CallsStartingWith("CreateFileA").front(), "CreateFileA ");
  EXPECT_EQ(Link.DevicePath, "dev-target");
}

TEST(Discovery, HugeSizeQueryIsCappedInsteadOfAllocatingIt) {
  Scripted::Device odd = Mouse;
  odd.RequiredSizeOverride = 0xFFFFFFFF;
  Scripted::Start(Scripted::Script{{odd, Target}});
  EXPECT_TRUE(WriteToDeviceMod::FindDevice());
  EXPECT_EQ(CallsStartingWith("CreateFileA").front(), "CreateFileA dev-mouse");
}

TEST(Capabilities, ValueCapsQueryNeverAsksForMoreThanItsBufferHolds) {
  Scripted::Device many = Target;
  many.NumberInputValueCaps = 200;
  Scripted::Start(Scripted::Script{{many}});
  EXPECT_TRUE(WriteToDeviceMod::FindDevice());
  EXPECT_EQ(Scripted::ValueCapsRequested, 1024 / 72);
  EXPECT_EQ(CallsStartingWith("HidP_GetValueCaps"),
            std::vector<std::string>{"HidP_GetValueCaps 0"});
}

TEST(Capabilities, FailedCapabilityReadStopsTheFirstSendWithARangeError) {
  Scripted::Device broken = Target;
  broken.PreparsedError = Scripted::ERROR_GEN_FAILURE;
  Scripted::Start(Scripted::Script{{broken}});
  try {
    SendOnce();
    FAIL() << "no range error";
  } catch (const WriteToDeviceMod::RunError& error) {
    EXPECT_EQ(error.ExitStatus, WriteToDeviceMod::ExitShortReport);
    EXPECT_NE(std::string(error.what()).find("length 0"), std::string::npos);
  }
  EXPECT_NE(Scripted::Stdout.find("HidD_GetPreparsedData : A device attached to the system is "
                                  "not functioning.\r\n"),
            std::string::npos);
  EXPECT_TRUE(Scripted::DeviceWrites.empty());
}

TEST(Reports, SixteenByteReportGetsAZeroTail) {
  Scripted::Device wide = Target;
  wide.OutputReportByteLength = 16;
  Scripted::Start(Scripted::Script{{wide}});
  SendOnce();
  ASSERT_EQ(Scripted::DeviceWrites.size(), 1u);
  EXPECT_EQ(
      Scripted::DeviceWrites[0].Bytes,
      (std::vector<std::uint8_t>{0, 49, 10, 20, 122, 122, 122, 122, 122, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(Reports, LengthOf32768OrMoreReadsAsNegativeAndIsARangeError) {
  Scripted::Device huge = Target;
  huge.OutputReportByteLength = 0x8000;
  Scripted::Start(Scripted::Script{{huge}});
  EXPECT_THROW(SendOnce(), WriteToDeviceMod::RunError);
  EXPECT_TRUE(Scripted::DeviceWrites.empty());
}

TEST(Reports, LaterSendsMakeOneWriteAndOneTraceLineEach) {
  Scripted::Start(Scripted::Script{{Target}});
  SendOnce();
  const std::size_t callsAfterFirst = Scripted::Calls.size();
  const std::size_t outputAfterFirst = Scripted::Stdout.size();
  SendOnce();
  EXPECT_EQ(Scripted::Calls.size(), callsAfterFirst + 1);
  EXPECT_EQ(Scripted::Stdout.substr(outputAfterFirst),
            "WriteFile : The data area passed to a system call is too small.\r\n");
}

TEST(Trace, LineIsLabelSeparatorTextAndCrLf) {
  Scripted::Start(Scripted::Script{});
  WriteToDeviceMod::TraceCall("CreateFile");
  EXPECT_EQ(Scripted::Stdout, "CreateFile : The operation completed successfully.\r\n");
  EXPECT_EQ(Scripted::FormatMessageFlags, 0x1000u | 0x200u);
}

TEST(Trace, EmptyOrTwoCharacterSystemTextLeavesNothingAfterTheSeparator) {
  Scripted::Script script;
  script.Texts = {{0, ""}};  // stored as just CR LF
  Scripted::Start(script);
  WriteToDeviceMod::TraceCall("GetHidGuid");
  EXPECT_EQ(Scripted::Stdout, "GetHidGuid : \r\n");
  script.Texts.clear();  // no text at all
  Scripted::Start(script);
  WriteToDeviceMod::TraceCall("GetHidGuid");
  EXPECT_EQ(Scripted::Stdout, "GetHidGuid : \r\n");
}

TEST(Trace, SystemTextIsCutOnlyOfItsLineEndAndBoundedByTheBuffer) {
  Scripted::Script script;
  script.Texts = {{1, "abc"}, {2, std::string(125, 'x')}, {3, std::string(126, 'x')}};
  Scripted::Start(script);
  EXPECT_EQ(WriteToDeviceMod::SystemErrorText(1), "abc");
  EXPECT_EQ(WriteToDeviceMod::SystemErrorText(2), std::string(125, 'x'));  // 127 with CR LF
  EXPECT_EQ(WriteToDeviceMod::SystemErrorText(3), "");                     // does not fit
  EXPECT_EQ(WriteToDeviceMod::SystemErrorText(4), "");
}

}  // namespace

namespace {

struct SerialCase {
  const char* name;
  std::u16string reported;  // empty: the device has none
  std::uint32_t error;      // the query fails with this code
  std::string expected;
};

TEST(SerialNumbers, ReadAsUtf8WithinTheLongestAUsbDeviceGivesAndNoneWhenAbsentOrFailing) {
  const std::u16string longest(126, u'7');
  const std::u16string overfull(127, u'8');  // fills the buffer without a NUL
  const SerialCase cases[] = {
      {"126 wide characters", longest, 0, std::string(126, '7')},
      {"buffer filled without a NUL", overfull, 0, std::string(127, '8')},
      {"non-ASCII", u"Z\u00e4hler-\u20ac-\U0001F600", 0,
       "Z\xc3\xa4hler-\xe2\x82\xac-\xf0\x9f\x98\x80"},
      {"unpaired surrogate", std::u16string(u"a") + char16_t(0xD800) + u"b", 0,
       "a\xef\xbf\xbd"
       "b"},
      {"empty", u"", 0, ""},
      {"failing query", u"A1", Scripted::ERROR_GEN_FAILURE, ""},
  };
  for (const SerialCase& serialCase : cases) {
    Scripted::Device box = Target;
    box.Serial = serialCase.reported;
    box.SerialError = serialCase.error;
    Scripted::Start(Scripted::Script{{box}});
    const APIdeclarations::Handle device = APIdeclarations::CreateFileA(
        "dev-target", 0, 3, nullptr, APIdeclarations::OPEN_EXISTING, 0, 0);
    APIdeclarations::SetLastError(Scripted::ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(WriteToDeviceMod::ReadSerialNumber(device), serialCase.expected) << serialCase.name;
    // The query asks for no more than 127 wide characters, and leaves the recorded code alone.
    EXPECT_EQ(Scripted::SerialBufferLength, 254u) << serialCase.name;
    EXPECT_EQ(APIdeclarations::GetLastError(), Scripted::ERROR_NO_MORE_ITEMS) << serialCase.name;
  }
}

}  // namespace
