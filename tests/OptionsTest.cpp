// The options: which texts are options, what each prints, and --path's choice of box.
#include <gtest/gtest.h>

#include <algorithm>

#include "device/WriteToDeviceMod.h"
#include "frontend/Options.h"
#include "tests/ScriptedPlatform.h"
#include "tests/TestText.h"

using namespace TestText;
using MainMod::Invocation;
using Scripted::MakeDevice;

namespace {

struct OptionText {
  const char* text;
  Invocation::KindType kind;
  const char* path;
  const char* fieldText;
  bool malformed;
  const char* serial = "";
};

void PrintTo(const OptionText& option, std::ostream* out) {
  *out << '"' << option.text << '"';
}

class ReadInvocation : public testing::TestWithParam<OptionText> {};

TEST_P(ReadInvocation, FindsTheOptionItsPathAndTheFields) {
  const OptionText& expected = GetParam();
  const Invocation invocation = MainMod::ReadInvocation(expected.text);
  EXPECT_EQ(invocation.Kind, expected.kind);
  EXPECT_EQ(invocation.Error.empty(), !expected.malformed) << invocation.Error;
  if (!expected.malformed) {
    EXPECT_EQ(invocation.Path, expected.path);
    EXPECT_EQ(invocation.FieldText, expected.fieldText);
    EXPECT_EQ(invocation.Serial, expected.serial);
  }
}

INSTANTIATE_TEST_SUITE_P(
    OptionTable, ReadInvocation,
    testing::Values(
        // Texts that are not exactly an option word stay the three fields, errors and all.
        OptionText{"1 10 20", Invocation::Send, "", "1 10 20", false},
        OptionText{"--helpme", Invocation::Send, "", "--helpme", false},
        OptionText{"--pathx p 1 2 3", Invocation::Send, "", "--pathx p 1 2 3", false},
        OptionText{" --help", Invocation::Send, "", " --help", false},
        OptionText{"--help", Invocation::Help, "", "--help", false},
        OptionText{"--version", Invocation::Version, "", "--version", false},
        OptionText{"--list", Invocation::List, "", "--list", false},
        OptionText{"--list 1", Invocation::Send, "", "", true},
        OptionText{"--help ", Invocation::Send, "", "", true},
        OptionText{"--path /dev/hidraw3 1 10 20", Invocation::Send, "/dev/hidraw3", "1 10 20",
                   false},
        // The fields after the path are cut as always, two blanks included.
        OptionText{"--path p  1 10 20", Invocation::Send, "p", " 1 10 20", false},
        OptionText{"--path \"\\\\?\\hid#vid_6666&pid_f100#a b\" 0 1 2", Invocation::Send,
                   "\\\\?\\hid#vid_6666&pid_f100#a b", "0 1 2", false},
        OptionText{"--path", Invocation::Send, "", "", true},
        OptionText{"--path p", Invocation::Send, "", "", true},
        OptionText{"--path  1 10 20", Invocation::Send, "", "", true},
        OptionText{"--path \"p 1 10 20", Invocation::Send, "", "", true},
        OptionText{"--path \"p\"1 10 20", Invocation::Send, "", "", true},
        // --serial reads its value as --path does; a quoted one may hold blanks.
        OptionText{"--serial AB12 1 10 20", Invocation::Send, "", "1 10 20", false, "AB12"},
        OptionText{"--serial \"A B\" 0 1 2", Invocation::Send, "", "0 1 2", false, "A B"},
        OptionText{"--serialx A 1 2 3", Invocation::Send, "", "--serialx A 1 2 3", false},
        OptionText{"--serial", Invocation::Send, "", "", true},
        OptionText{"--serial AB12", Invocation::Send, "", "", true},
        OptionText{"--serial \"\" 1 2 3", Invocation::Send, "", "", true}));

Scripted::Device MakeMouse() {
  Scripted::Device mouse = MakeDevice("dev-mouse", 0x046D, 0xC077);
  mouse.UsagePage = 0x01;
  mouse.Usage = 0x02;
  return mouse;
}

const Scripted::Device Mouse = MakeMouse();
const Scripted::Device FirstBox = MakeDevice("dev-box-a", 0x6666, 0xF100);
const Scripted::Device SecondBox = MakeDevice("dev-box-b", 0x6666, 0xF100);

TEST(Options, HelpAndVersionPrintWithoutBannerOrSystemCalls) {
  Scripted::Start(Scripted::Script{{FirstBox}});
  EXPECT_EQ(Scripted::RunMain("--help"), 0);
  EXPECT_EQ(Scripted::Stdout.rfind("Usage: zendrocast <box 0/1> <byte1> <byte2>\r\n", 0), 0u);
  for (const char* option : {"--path PATH", "--list", "--help", "--version"}) {
    EXPECT_NE(Scripted::Stdout.find(std::string("\r\n  ") + option), std::string::npos) << option;
  }
  // Every line ends with CR LF.
  EXPECT_EQ(
      Labels(Scripted::Stdout).size(),
      static_cast<std::size_t>(std::count(Scripted::Stdout.begin(), Scripted::Stdout.end(), '\n')));
  EXPECT_EQ(Scripted::Stdout.find("\r\r"), std::string::npos);

  Scripted::Start(Scripted::Script{{FirstBox}});
  EXPECT_EQ(Scripted::RunMain("--version"), 0);
  EXPECT_EQ(Scripted::Stdout, "zendrocast " ZENDROCAST_VERSION "\r\n");
  EXPECT_TRUE(Scripted::Calls.empty());
}

// Such texts were malformed runs before there were options: their console text stays as it was.
TEST(Options, MalformedOptionsAreMalformedRunsThatTouchNothing) {
  const std::pair<const char*, const char*> runs[] = {
      {"--list all", "--list takes no arguments"},
      {"--path dev-box-a", "--path needs a path, then the three fields"},
      {"--serial AB12", "--serial needs a serial number, then the three fields"},
  };
  for (const auto& [text, error] : runs) {
    Scripted::Start(Scripted::Script{{FirstBox}});
    EXPECT_EQ(Scripted::RunMain(text), WriteToDeviceMod::ExitBadArgument) << text;
    EXPECT_EQ(Scripted::Stdout, Echo(text));
    EXPECT_EQ(Scripted::Stderr, "zendrocast: " + std::string(error) + "\r\n");
    EXPECT_TRUE(Scripted::Calls.empty()) << text;
  }
}

TEST(Options, ListShowsEveryInterfaceAndMarksTheBoxes) {
  Scripted::Device locked = SecondBox;
  locked.OpenError = Scripted::ERROR_ACCESS_DENIED;  // queries still answer
  locked.Serial = u"B\"2\\\n";                       // read back from its escaped form
  Scripted::Device gone = MakeDevice("dev-gone", 0x1234, 0x5678);
  gone.OpenError = Scripted::ERROR_FILE_NOT_FOUND;
  gone.QueryOpenError = Scripted::ERROR_FILE_NOT_FOUND;
  Scripted::Device wide = FirstBox;
  wide.OutputReportByteLength = 65;
  wide.Serial = u"A1";
  Scripted::Start(Scripted::Script{{Mouse, wide, locked, gone}});

  EXPECT_EQ(Scripted::RunMain("--list"), WriteToDeviceMod::ExitAllSent);
  EXPECT_EQ(Scripted::Stdout,
            Lines({"046d:c077 dev-mouse: usage 01:02, opened, output report 9 bytes, no serial",
                   "6666:f100 dev-box-a: box, usage ff00:01, opened, output report 65 bytes, "
                   "serial \"A1\"",
                   "6666:f100 dev-box-b: box, usage ff00:01, not opened (Access is denied.), "
                   "output report 9 bytes, serial \"B\\\"2\\\\\\x0a\"",
                   "????:???? dev-gone: usage unknown, not opened (The system cannot find the "
                   "file specified.), output report length unknown, no serial"}));
  EXPECT_EQ(Scripted::Stderr, "");
  EXPECT_TRUE(Scripted::DeviceWrites.empty());
  // Every handle the listing opened it closed again, and it released the set.
  EXPECT_EQ(std::count(Scripted::Calls.begin(), Scripted::Calls.end(), "CloseHandle"), 3);
  EXPECT_EQ(Scripted::Calls.back(), "SetupDiDestroyDeviceInfoList");
}

TEST(Options, ListWithoutABoxExitsOne) {
  Scripted::Start(Scripted::Script{{Mouse}});
  EXPECT_EQ(Scripted::RunMain("--list"), WriteToDeviceMod::ExitNotAllSent);
  EXPECT_EQ(Scripted::Stderr, "zendrocast: no box (6666:f100) is listed\r\n");

  Scripted::Start(Scripted::Script{});
  EXPECT_EQ(Scripted::RunMain("--list"), WriteToDeviceMod::ExitNotAllSent);
  EXPECT_EQ(Scripted::Stdout, "");
}

TEST(PathOption, SendsOnlyToTheBoxAtThePathAndTracesTheOtherAsPassedOver) {
  Scripted::Start(Scripted::Script{{FirstBox, SecondBox}});
  EXPECT_EQ(Scripted::RunMain("--path dev-box-b 0 1 2"), WriteToDeviceMod::ExitAllSent);
  ASSERT_EQ(Scripted::DeviceWrites.size(), 10u);
  for (const Scripted::DeviceWrite& write : Scripted::DeviceWrites) {
    EXPECT_EQ(write.Path, "dev-box-b");
  }
  const std::vector<std::string> labels = Labels(Scripted::Stdout);
  const std::vector<std::string> start(labels.begin(), labels.begin() + 20);
  EXPECT_EQ(start, (std::vector<std::string>{"Console Application Example In Visual Basic.",
                                             "",
                                             "Command Line Parameters: --path dev-box-b 0 1 2",
                                             "",
                                             "1:48 2:1 3:2",
                                             "GetHidGuid",
                                             "SetupDiClassDevs",
                                             "SetupDiEnumDeviceInterfaces",
                                             "SetupDiGetDeviceInterfaceDetail",
                                             " Result of second call: ",
                                             "CreateFile",
                                             "HidD_GetAttributes",
                                             "CloseHandle",
                                             "SetupDiEnumDeviceInterfaces",
                                             "SetupDiGetDeviceInterfaceDetail",
                                             " Result of second call: ",
                                             "CreateFile",
                                             "HidD_GetAttributes",
                                             "DestroyDeviceInfoList",
                                             "HidD_GetPreparsedData"}));
}

TEST(PathOption, APathThatIsNoBoxFindsNothingAndSendsNothing) {
  Scripted::Start(Scripted::Script{{Mouse, FirstBox}});
  EXPECT_EQ(Scripted::RunMain("--path dev-mouse 1 10 20"), WriteToDeviceMod::ExitNotAllSent);
  EXPECT_TRUE(Scripted::DeviceWrites.empty());
  const std::string failed = "Failed to find hardware\r\n";
  std::size_t count = 0;
  for (std::size_t at = Scripted::Stdout.find(failed); at != std::string::npos;
       at = Scripted::Stdout.find(failed, at + 1)) {
    ++count;
  }
  EXPECT_EQ(count, 10u);
}

TEST(PathOption, ARunWithoutItNeverComparesPaths) {
  Scripted::Start(Scripted::Script{{Mouse, FirstBox}});
  EXPECT_EQ(Scripted::RunMain("1 10 20"), WriteToDeviceMod::ExitAllSent);
  EXPECT_EQ(std::count(Scripted::Calls.begin(), Scripted::Calls.end(), "SameDevicePath"), 0);
}

}  // namespace

namespace {

Scripted::Device WithSerial(Scripted::Device device, const std::u16string& serial) {
  device.Serial = serial;
  return device;
}

std::size_t Count(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

TEST(SerialOption, PicksTheBoxWithThatExactSerialAndTracesAsThePlainRun) {
  // The first box has no serial, so its query fails; that code must not reach the trace.
  const std::vector<Scripted::Device> devices = {FirstBox, WithSerial(SecondBox, u"B2")};
  Scripted::Start(Scripted::Script{devices});
  EXPECT_EQ(Scripted::RunMain("--serial B2 0 1 2"), WriteToDeviceMod::ExitAllSent);
  ASSERT_EQ(Scripted::DeviceWrites.size(), 10u);
  EXPECT_EQ(Scripted::DeviceWrites.back().Path, "dev-box-b");
  const std::string serialRun = Scripted::Stdout;
  Scripted::Start(Scripted::Script{devices});
  Scripted::RunMain("--path dev-box-b 0 1 2");
  EXPECT_EQ(serialRun.substr(serialRun.find("1:48")),
            Scripted::Stdout.substr(Scripted::Stdout.find("1:48")));

  // Case counts, and a box without a serial is never the box.
  for (const char* text : {"--serial b2 0 1 2", "--serial \"\" 0 1 2"}) {
    Scripted::Start(Scripted::Script{devices});
    EXPECT_NE(Scripted::RunMain(text), WriteToDeviceMod::ExitAllSent) << text;
    EXPECT_TRUE(Scripted::DeviceWrites.empty()) << text;
  }
  EXPECT_EQ(Count(Scripted::Stdout, "Failed to find hardware"), 0u);  // the empty one: malformed
  Scripted::Start(Scripted::Script{devices});
  EXPECT_EQ(Scripted::RunMain("--serial b2 0 1 2"), WriteToDeviceMod::ExitNotAllSent);
  EXPECT_EQ(Count(Scripted::Stdout, "Failed to find hardware\r\n"), 10u);
}

TEST(SerialOption, TwoBoxesWithOneSerialSendToTheFirstInEnumerationOrder) {
  Scripted::Start(
      Scripted::Script{{Mouse, WithSerial(SecondBox, u"SAME"), WithSerial(FirstBox, u"SAME")}});
  EXPECT_EQ(Scripted::RunMain("--serial SAME 1 10 20"), WriteToDeviceMod::ExitAllSent);
  ASSERT_EQ(Scripted::DeviceWrites.size(), 10u);
  EXPECT_EQ(Scripted::DeviceWrites.front().Path, "dev-box-b");
  EXPECT_EQ(Scripted::DeviceWrites.back().Path, "dev-box-b");
}

}  // namespace
