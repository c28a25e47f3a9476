// Start-up, START/STOP and shutdown.

#include <string>

#include "tests/support/row_name.h"
#include "tests/window/form1_fixture.h"

namespace thermo::testing {
namespace {

using thermo::PrintTo;

using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST_F(Form1Test, StartsWithThermometerShowingDetectedInGreenWithoutReading) {
    writeCal(kDefaultCalLine);
    platform.addThermometer(kThermometer);

    form().Form_Load();

    EXPECT_THAT(view.calls(), ElementsAre("timer off", "caption Label1 DEVICE DETECTED",
                                          "colour Label1 0x8000", "tip "));
    EXPECT_TRUE(device.DevicePresent);
    EXPECT_EQ(platform.readCount(), 0);
    EXPECT_EQ(form().CalZero, 0.72);
    EXPECT_EQ(form().CalHundred, 0.35);
}

struct NotDetectedCase {
    const char* name;
    const char* openFails;     // the thermometer is there but cannot be opened, for this reason
    const char* listingFails;  // the list of HID interfaces cannot be had, for this reason
};

class StartUpNotDetected : public Form1Test,
                           public ::testing::WithParamInterface<NotDetectedCase> {};

// A failing SetupDiGetClassDevsA at start-up is a search that finds nothing, not a fatal error;
// a thermometer that cannot be opened says why in the status tip.
TEST_P(StartUpNotDetected, ShowsNotDetectedInRedWithTheReasonInTheTip) {
    const NotDetectedCase& c = GetParam();
    writeCal(kDefaultCalLine);
    if (c.openFails || c.listingFails) platform.addThermometer(kThermometer);
    if (c.openFails) platform.failOpen(kThermometer, c.openFails);
    if (c.listingFails) platform.failListing(c.listingFails);

    ASSERT_NO_THROW(form().Form_Load());

    ASSERT_TRUE(!c.openFails || !device.LastProblem.empty()) << "the tip must say why";
    const std::string tip = c.openFails ? device.LastProblem : c.listingFails ? c.listingFails : "";
    EXPECT_THAT(view.calls(), ElementsAre("timer off", "caption Label1 DEVICE NOT DETECTED",
                                          "colour Label1 0xFF", "tip " + tip));
    EXPECT_EQ(platform.listCount(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Form1, StartUpNotDetected,
    ::testing::Values(NotDetectedCase{"no_thermometer", nullptr, nullptr},
                      NotDetectedCase{"cannot_be_opened", "open /dev/hidraw0: Permission denied",
                                      nullptr},
                      NotDetectedCase{"interface_list_cannot_be_had", nullptr,
                                      "SetupDiGetClassDevsA HID interfaces: Access is denied "
                                      "(error 5)"}),
    rowName);

TEST_F(Form1Test, MissingCalibrationFileIsCreatedWithDefaultPoints) {
    form().Form_Load();

    EXPECT_EQ(readCal(), kDefaultCalLine);
    EXPECT_EQ(form().CalZero, 0.72);
    EXPECT_EQ(form().CalHundred, 0.35);
}

// A cal.txt that cannot give two points ends start-up before the device is searched for, and is
// left exactly as it was (no default line written over the user's file).
class BadCalibrationFile : public Form1Test, public ::testing::WithParamInterface<std::string> {};

TEST_P(BadCalibrationFile, FailsStartUpBeforeSearchingAndLeavesFileAlone) {
    writeCal(GetParam());
    platform.addThermometer(kThermometer);

    EXPECT_THROW(form().Form_Load(), CalibrationError);

    EXPECT_EQ(readCal(), GetParam());
    EXPECT_THAT(view.calls(), ElementsAre("timer off"));
    EXPECT_THAT(platform.calls(), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(Form1, BadCalibrationFile,
                         ::testing::Values(std::string(), std::string("0.7\r\n")),
                         [](const auto& info) {
                             return info.param.empty() ? "Empty" : "OneField";
                         });

struct SwitchCase {
    const char* name;
    const char* captionBefore;
    const char* captionAfter;
    bool timerOn;
};

class StartStopSwitch : public Form1Test, public ::testing::WithParamInterface<SwitchCase> {};

TEST_P(StartStopSwitch, OnlyExactStartTurnsMeasuringOn) {
    const SwitchCase& c = GetParam();
    writeCal(kDefaultCalLine);
    loaded();
    view.setCaption(ControlId::cmdOn, c.captionBefore);
    view.clearCalls();

    form().clickRequested(ControlId::cmdOn);

    EXPECT_THAT(view.calls(), ElementsAre(std::string("caption cmdOn ") + c.captionAfter,
                                          c.timerOn ? "timer on" : "timer off"));
    EXPECT_THAT(platform.calls(), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Form1, StartStopSwitch,
    ::testing::Values(SwitchCase{"Start", "START", "STOP", true},
                      SwitchCase{"Stop", "STOP", "START", false},
                      SwitchCase{"LowerCaseIsNotStart", "start", "START", false},
                      SwitchCase{"TrailingSpaceIsNotStart", "START ", "START", false}),
    rowName);

TEST_F(Form1Test, StartStopStartKeepsReadingsAndCalibration) {
    writeCal(kDefaultCalLine);
    platform.addThermometer(kThermometer);
    running();
    platform.queueReport(kThermometer, {0, 133, 0});
    tick();
    const auto ratio = form().SensorRatio;
    const float celsius = form().Celsius;
    platform.clearCalls();
    view.clearCalls();

    for (int i = 0; i < 3; ++i) form().clickRequested(ControlId::cmdOn);

    EXPECT_THAT(view.calls(), ElementsAre("caption cmdOn START", "timer off", "caption cmdOn STOP",
                                          "timer on", "caption cmdOn START", "timer off"));
    EXPECT_EQ(form().SensorRatio, ratio);
    EXPECT_EQ(form().Celsius, celsius);
    EXPECT_EQ(form().CalZero, 0.72);
    EXPECT_EQ(form().CalHundred, 0.35);
    EXPECT_THAT(platform.calls(), IsEmpty());
}

TEST_F(Form1Test, CloseClosesBothOpenHandlesAndLeavesCalibrationFile) {
    writeCal(kDefaultCalLine);
    platform.addThermometer(kThermometer);
    loaded();

    EXPECT_TRUE(form().closeRequested());

    EXPECT_EQ(platform.closeCount(kThermometer), 2);
    EXPECT_EQ(platform.openHandleCount(), 0);
    EXPECT_EQ(view.count("close window"), 0);  // the front end closes itself on true
    EXPECT_EQ(readCal(), kDefaultCalLine);
}

TEST_F(Form1Test, CloseWhenThermometerWasNeverFoundClosesNothing) {
    writeCal(kDefaultCalLine);
    loaded();

    EXPECT_TRUE(form().closeRequested());

    EXPECT_EQ(platform.closeCount(kThermometer), 0);
    EXPECT_THAT(platform.calls(), IsEmpty());
}

}  // namespace
}  // namespace thermo::testing
