// The measurement tick: its order, its failure rule and what it shows.

#include <cctype>
#include <cstdint>
#include <ostream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "tests/support/row_name.h"
#include "tests/window/form1_fixture.h"

namespace thermo::testing {
namespace {

using thermo::PrintTo;

using ::testing::ElementsAre;
using ::testing::StartsWith;

const std::string kCelsiusUnit = " \302\260C";
const std::string kFahrenheitUnit = " \302\260F";

// The worked example: default points, b1 133, b2 0.
const std::vector<std::uint8_t> kWorkedReport = {0, 133, 0};
constexpr float kWorkedHeight = 1883.6149F;
constexpr float kWorkedTop = 1996.3851F;

TEST_F(Form1Test, TickRunsItsStepsInOrder) {
    writeCal(kDefaultCalLine);
    platform.addThermometer(kThermometer);
    running();
    platform.queueReport(kThermometer, kWorkedReport);

    tick();

    EXPECT_THAT(view.calls(),
                ElementsAre("caption Label1 DEVICE DETECTED", "colour Label1 0x8000", "tip ",
                            "window task", "caption Label5 54.2", "caption Label3 " + kCelsiusUnit,
                            "caption Label10 129.5", "caption Label11 " + kFahrenheitUnit,
                            "height 1883.6149", "top 1996.3851"));
    EXPECT_EQ(view.barHeight(), kWorkedHeight);
    EXPECT_EQ(view.barTop(), kWorkedTop);
    EXPECT_FALSE(form().tickInProgress());
}

// Every step the toolkit can refuse is abandoned alone; the tick goes on with the next one.
class TickStepRefused : public Form1Test, public ::testing::WithParamInterface<std::string> {};

TEST_P(TickStepRefused, OnlyThatStepIsSkipped) {
    const std::vector<std::string> steps = {"caption Label1 ",
                                            "colour Label1 ",
                                            "tip ",
                                            "window task",
                                            "caption Label5 ",
                                            "caption Label3 ",
                                            "caption Label10 ",
                                            "caption Label11 ",
                                            "height ",
                                            "top "};
    writeCal(kDefaultCalLine);
    platform.addThermometer(kThermometer);
    running();
    platform.queueReport(kThermometer, kWorkedReport);
    view.failOn(GetParam());

    tick();

    std::vector<std::string> expected;
    for (const auto& step : steps) {
        if (step != GetParam()) expected.push_back(step);
    }
    ASSERT_EQ(view.calls().size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_THAT(view.calls()[i], StartsWith(expected[i]));
    }
    EXPECT_FALSE(form().tickInProgress());
}

INSTANTIATE_TEST_SUITE_P(Form1, TickStepRefused,
                         ::testing::Values("caption Label1 ", "colour Label1 ", "tip ",
                                           "caption Label5 ", "caption Label3 ", "caption Label10 ",
                                           "caption Label11 ", "height ", "top "),
                         [](const auto& info) {
                             std::string name;
                             for (char c : info.param) {
                                 if (std::isalnum(static_cast<unsigned char>(c))) name += c;
                             }
                             return name;
                         });

TEST_F(Form1Test, WorkerRefusedSkipsSearchAndReadButShowsTheRest) {
    writeCal(kDefaultCalLine);
    platform.addThermometer(kThermometer);
    startThread = [](std::function<void()>) -> std::thread {
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    };
    running();

    tick();
    tick();

    EXPECT_EQ(platform.readCount(), 0);
    EXPECT_EQ(view.count("caption Label5 194.6"), 2);  // the second tick was not dropped
}

struct ReadingCase {
    const char* name;
    const char* calLine;
    std::vector<std::uint8_t> report;
    const char* separator;
    const char* celsiusText;
    const char* fahrenheitText;
    float height;
    float top;
};

class TickReading : public Form1Test, public ::testing::WithParamInterface<ReadingCase> {};

// What the window then draws: both readouts, the bar, and the status of the tick's start.
TEST_P(TickReading, ShowsValuesAndBar) {
    const ReadingCase& c = GetParam();
    writeCal(c.calLine);
    platform.addThermometer(kThermometer);
    view.setDecimalSeparator(c.separator);
    running();
    platform.queueReport(kThermometer, c.report);

    tick();

    EXPECT_EQ(drawn(ControlId::Label5).text, c.celsiusText);
    EXPECT_EQ(drawn(ControlId::Label10).text, c.fahrenheitText);
    const SceneRect bar = drawn(ControlId::Shape4).box;
    EXPECT_EQ(bar.top, c.top);
    EXPECT_EQ(bar.bottom, double(c.top) + double(c.height));
    EXPECT_EQ(drawn(ControlId::Label1).text, "DEVICE DETECTED");
    EXPECT_EQ(drawn(ControlId::Label1).textColour.colour, kStatusGreen);
}

// Celsius = 100 - (ratio - CalHundred) * 100 / (CalZero - CalHundred), ratio = (256 b1 + b2) /
// 65536; the bar is clamped to -22 .. 132 and stands at height C * 20 + 800, top 3080 - C * 20.
INSTANTIATE_TEST_SUITE_P(
    Form1, TickReading,
    ::testing::Values(
        ReadingCase{"WorkedExample", kDefaultCalLine, kWorkedReport, ".", "54.2", "129.5",
                    kWorkedHeight, kWorkedTop},
        ReadingCase{"GermanSeparator", kDefaultCalLine, kWorkedReport, ",", "54,2", "129,5",
                    kWorkedHeight, kWorkedTop},
        ReadingCase{"AllZeroClampedHigh",
                    kDefaultCalLine,
                    {0, 0, 0},
                    ".",
                    "194.6",
                    "382.3",
                    3440.0F,
                    440.0F},
        ReadingCase{"AllOnesClampedLow",
                    kDefaultCalLine,
                    {0, 255, 255},
                    ".",
                    "-75.7",
                    "-104.2",
                    360.0F,
                    3520.0F},
        ReadingCase{"RatioAtHundredPoint",
                    "0.75,0.5\r\n",
                    {0, 128, 0},
                    ".",
                    "100.0",
                    "212.0",
                    2800.0F,
                    1080.0F},
        ReadingCase{
            "RatioAtZeroPoint", "0.75,0.5\r\n", {0, 192, 0}, ".", "00.0", "32.0", 800.0F, 3080.0F},
        ReadingCase{"EqualPointsKeepInitialZero", "0.5,0.5\r\n", kWorkedReport, ".", "00.0", "32.0",
                    800.0F, 3080.0F},
        // Their difference overflows: it read exactly 100 whatever the sensor said.
        ReadingCase{"OverflowingPointsKeepInitialZero", "1.7969e308,-1.7e306\r\n", kWorkedReport,
                    ".", "00.0", "32.0", 800.0F, 3080.0F}),
    rowName);

TEST_F(Form1Test, NoReadBeforeFirstSuccessLeavesRatioEmptyAndSearchesTwice) {
    writeCal(kDefaultCalLine);
    running();

    tick();

    EXPECT_FALSE(form().SensorRatio.has_value());
    EXPECT_EQ(platform.listCount(), 2);
    EXPECT_EQ(platform.readCount(), 0);
    EXPECT_EQ(drawn(ControlId::Label1).text, "DEVICE NOT DETECTED");
    EXPECT_EQ(drawn(ControlId::Label1).textColour.colour, kStatusRed);
    EXPECT_EQ(captionOf(ControlId::Label5), "194.6");
    EXPECT_EQ(captionOf(ControlId::Label10), "382.3");
    EXPECT_EQ(view.barHeight(), 3440.0F);
    EXPECT_EQ(view.barTop(), 440.0F);
}

// A read that gets nothing leaves nothing to convert: the labels and the bar keep the last
// reading, and a calibration press stores that reading's ratio, never the zeros of an empty buffer.
TEST_F(Form1Test, PulledOutThermometerKeepsTheLastReadingAndTheStatusIsFromStartOfTick) {
    writeCal(kDefaultCalLine);
    platform.addThermometer(kThermometer);
    running();
    platform.queueReport(kThermometer, kWorkedReport);
    tick();
    const MaybeNumber worked = form().SensorRatio;
    ASSERT_EQ(worked, 133.0 / 256);
    platform.removeInterface(kThermometer);

    tick();  // its read gets nothing: still shown as detected, with the last reading

    EXPECT_EQ(captionOf(ControlId::Label1), "DEVICE DETECTED");
    EXPECT_EQ(form().SensorRatio, worked);
    EXPECT_EQ(captionOf(ControlId::Label5), "54.2");
    EXPECT_EQ(captionOf(ControlId::Label10), "129.5");
    EXPECT_EQ(view.barTop(), kWorkedTop);
    EXPECT_FALSE(device.DevicePresent);

    platform.clearCalls();
    tick();

    EXPECT_EQ(captionOf(ControlId::Label1), "DEVICE NOT DETECTED");
    EXPECT_EQ(platform.listCount(), 2);
    EXPECT_EQ(platform.readCount(), 0);
    EXPECT_EQ(captionOf(ControlId::Label5), "54.2");

    form().clickRequested(ControlId::Command2);
    EXPECT_EQ(readCal(), "0.51953125,0.35\r\n");
    EXPECT_EQ(form().CalZero, worked);
}

// Before any reading the empty ratio counts as 0, as it always has.
TEST_F(Form1Test, PulledOutBeforeAnyReadingShowsTheEmptyRatio) {
    writeCal(kDefaultCalLine);
    platform.addThermometer(kThermometer);
    running();
    platform.removeInterface(kThermometer);

    tick();

    EXPECT_FALSE(form().SensorRatio.has_value());
    EXPECT_EQ(captionOf(ControlId::Label5), "194.6");
    EXPECT_EQ(captionOf(ControlId::Label10), "382.3");
}

TEST_F(Form1Test, ThermometerFoundByTheTicksSearchIsReadInTheSameTick) {
    writeCal(kDefaultCalLine);
    running();
    platform.addThermometer(kThermometer);
    platform.queueReport(kThermometer, kWorkedReport);

    tick();

    EXPECT_EQ(captionOf(ControlId::Label1), "DEVICE NOT DETECTED");
    EXPECT_EQ(platform.listCount(), 1);
    EXPECT_EQ(platform.readCount(), 1);
    EXPECT_EQ(captionOf(ControlId::Label5), "54.2");

    platform.queueReport(kThermometer, kWorkedReport);
    view.clearCalls();
    tick();

    EXPECT_THAT(view.calls(), ::testing::Contains("caption Label1 DEVICE DETECTED"));
}

TEST_F(Form1Test, FailedConversionAfterOverRangeShowsTheClampedValue) {
    writeCal("0.75,0.5\r\n");  // ratio 0.375 (b1 96) is 150 degrees
    platform.addThermometer(kThermometer);
    running();
    platform.queueReport(kThermometer, {0, 96, 0});

    tick();

    EXPECT_EQ(captionOf(ControlId::Label5), "150.0");
    EXPECT_EQ(captionOf(ControlId::Label10), "302.0");
    EXPECT_EQ(view.barHeight(), 3440.0F);

    form().CalHundred = form().CalZero;
    platform.queueReport(kThermometer, {0, 96, 0});
    tick();

    EXPECT_EQ(captionOf(ControlId::Label5), "132.0");
    EXPECT_EQ(captionOf(ControlId::Label10), "269.6");
    EXPECT_EQ(view.barTop(), 440.0F);
}

TEST_F(Form1Test, SearchThatThrowsIsAbandonedAndTheTickGoesOn) {
    writeCal(kDefaultCalLine);
    running();
    platform.failListing("list HID interfaces: Input/output error");
    platform.clearCalls();

    tick();

    EXPECT_EQ(platform.listCount(), 2);  // step 1c and the one inside the poll
    EXPECT_EQ(captionOf(ControlId::Label5), "194.6");
    EXPECT_EQ(view.barTop(), 440.0F);
    EXPECT_FALSE(form().tickInProgress());
}

}  // namespace
}  // namespace thermo::testing
