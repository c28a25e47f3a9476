// The "0 °C" and "100 °C" buttons.

#include <signal.h>
#include <sys/resource.h>

#include <optional>
#include <ostream>
#include <string>

#include "tests/support/row_name.h"
#include "tests/window/form1_fixture.h"

namespace thermo::testing {
namespace {

using thermo::PrintTo;

using ::testing::HasSubstr;
using ::testing::IsEmpty;

struct ButtonCase {
    const char* name;
    const char* calBefore;
    MaybeNumber sensorRatio;
    ControlId button;
    const char* calAfter;
    MaybeNumber zero;
    MaybeNumber hundred;

    // Names the row in test output instead of dumping its bytes.
};

class CalibrationButton : public Form1Test, public ::testing::WithParamInterface<ButtonCase> {};

TEST_P(CalibrationButton, RewritesTheFileAndReadsItBack) {
    const ButtonCase& c = GetParam();
    writeCal(c.calBefore);
    loaded().SensorRatio = c.sensorRatio;

    form().clickRequested(c.button);

    EXPECT_EQ(readCal(), c.calAfter);
    EXPECT_EQ(form().CalZero, c.zero);
    EXPECT_EQ(form().CalHundred, c.hundred);
    EXPECT_THAT(view.errors(), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Form1, CalibrationButton,
    ::testing::Values(ButtonCase{"ZeroBeforeFirstReading", kDefaultCalLine, std::nullopt,
                                 ControlId::Command2, ",0.35\r\n", std::nullopt, 0.35},
                      ButtonCase{"HundredBeforeFirstReading", kDefaultCalLine, std::nullopt,
                                 ControlId::Command3, "0.72,\r\n", 0.72, std::nullopt},
                      ButtonCase{"ZeroPoint", kDefaultCalLine, 0.5, ControlId::Command2,
                                 "0.5,0.35\r\n", 0.5, 0.35},
                      ButtonCase{"HundredPoint", kDefaultCalLine, 0.4, ControlId::Command3,
                                 "0.72,0.4\r\n", 0.72, 0.4},
                      ButtonCase{"ExtraContentIsDropped", "0.7,0.3,9\r\n1,2\r\n", 0.5,
                                 ControlId::Command2, "0.5,0.3\r\n", 0.5, 0.3}),
    rowName);

// Makes every write to a regular file fail (EFBIG) while it lives. Works for root too, where
// file permissions would not stop a write.
class FileWritesFail {
  public:
    FileWritesFail() {
        getrlimit(RLIMIT_FSIZE, &saved_);
        rlimit none = saved_;
        none.rlim_cur = 0;
        previousHandler_ = signal(SIGXFSZ, SIG_IGN);
        setrlimit(RLIMIT_FSIZE, &none);
    }
    ~FileWritesFail() {
        setrlimit(RLIMIT_FSIZE, &saved_);
        signal(SIGXFSZ, previousHandler_);
    }
    FileWritesFail(const FileWritesFail&) = delete;
    FileWritesFail& operator=(const FileWritesFail&) = delete;

  private:
    rlimit saved_{};
    sighandler_t previousHandler_ = SIG_DFL;
};

TEST_F(Form1Test, ButtonWhoseFileCannotBeWrittenTellsUserAndChangesNothing) {
    writeCal(kDefaultCalLine);
    loaded().SensorRatio = 0.5;

    {
        FileWritesFail guard;
        form().clickRequested(ControlId::Command2);
    }

    ASSERT_EQ(view.errors().size(), 1U);
    EXPECT_THAT(view.errors()[0], HasSubstr("cal.txt"));
    EXPECT_THAT(view.errors()[0], HasSubstr("File too large"));  // the system's reason
    EXPECT_EQ(readCal(), kDefaultCalLine);
    EXPECT_EQ(form().CalZero, 0.72);
    EXPECT_EQ(form().CalHundred, 0.35);

    // The program goes on: the next press works.
    form().clickRequested(ControlId::Command2);
    EXPECT_EQ(readCal(), "0.5,0.35\r\n");
    EXPECT_EQ(form().CalZero, 0.5);
}

}  // namespace
}  // namespace thermo::testing
