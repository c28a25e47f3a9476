// Presses the calibration buttons of the real window behaviour (Form1 over the real cal.txt code,
// a headless view and no thermometer) in a loop until it is killed. Before each press it writes
// the press's number and a newline to PROGRESS_FD, so that whoever kills it knows which press
// may have been cut short.
//
//   calibration_kill_driver DIRECTORY FIRST_PRESS PROGRESS_FD
//
// Runs in DIRECTORY with the relative name "cal.txt", as the program does. Exits 3 when the
// window reports an error, which no press here should cause.
#include <sys/prctl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "hid/hidusb.h"
#include "measure/calibration_file.h"
#include "tests/reliability/calibration_presses.h"
#include "tests/support/fake_platform.h"
#include "tests/support/fake_view.h"
#include "window/form1.h"

namespace {

constexpr long kMaxPresses = 1000000;  // a driver nobody kills still ends

bool writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t written = ::write(fd, text.data() + done, text.size() - done);
        if (written <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(written);
    }
    return true;
}

int run(long firstPress, int progressFd) {
    thermo::hid::FakePlatform platform;
    thermo::hid::HIDusb device(platform);
    thermo::FakeView view;
    thermo::Form1 form(view, device, thermo::CalibrationFile("cal.txt"));
    form.Form_Load();
    for (long press = firstPress; press < firstPress + kMaxPresses; ++press) {
        if (!writeAll(progressFd, std::to_string(press) + "\n")) {
            return 0;  // nobody is watching any more
        }
        form.SensorRatio = thermo::reliability::ratioForPress(press);
        form.clickRequested(thermo::reliability::pressStoresZeroPoint(press)
                                ? thermo::ControlId::Command2
                                : thermo::ControlId::Command3);
        if (!view.errors().empty()) {
            std::fprintf(stderr, "press %ld: %s\n", press, view.errors().front().c_str());
            return 3;
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s DIRECTORY FIRST_PRESS PROGRESS_FD\n", argv[0]);
        return 2;
    }
    // Dies with the test that drives it, whatever ends that.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() == 1) {
        return 2;
    }
    if (::chdir(argv[1]) != 0) {
        std::perror(argv[1]);
        return 2;
    }
    try {
        return run(std::strtol(argv[2], nullptr, 10), std::atoi(argv[3]));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 3;
    }
}
