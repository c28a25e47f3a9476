// Renders the window offscreen to a PNG, showing what a tick with the thermometer present would
// show for a given temperature:  usb-thermometer-screenshot OUT.png [CELSIUS]
#include <QApplication>
#include <QPixmap>
#include <charconv>
#include <cstdio>
#include <memory>
#include <string_view>
#include <system_error>

#include "hid/hid_platform.h"
#include "hid/hidusb.h"
#include "measure/calibration_file.h"
#include "window/form1.h"
#include "window/qt/qt_form1_window.h"
#include "window/qt/qt_palette.h"

namespace {

// "54.2" whatever the locale: QApplication has set the user's by now, and std::stof would then
// read "54.2" in German as 54.
bool parseCelsius(std::string_view text, float& celsius) {
    float value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return false;
    celsius = value;
    return true;
}

// What a tick with the thermometer present shows, through Form1's own display steps. Form1 is
// never loaded: nothing reads cal.txt or looks for the thermometer.
void showTick(thermo::QtForm1Window& window, float celsius) {
    const std::unique_ptr<thermo::hid::Platform> platform = thermo::hid::makeNativePlatform();
    thermo::hid::HIDusb device(*platform);
    thermo::Form1 form(window, device, thermo::CalibrationFile("cal.txt"));
    form.cmdOn_Click();  // START becomes STOP
    form.showTickStatus(true);
    form.Celsius = celsius;
    form.showReading();
}

}  // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    float celsius = 54.180744F;
    if (argc < 2 || argc > 3 || (argc == 3 && !parseCelsius(argv[2], celsius))) {
        std::fprintf(stderr, "usage: %s OUT.png [CELSIUS]\n", argv[0]);
        return 2;
    }
    // SCREENSHOT_PALETTE=dark: how the window looks in a desktop's dark theme.
    if (qEnvironmentVariable("SCREENSHOT_PALETTE") == "dark") app.setPalette(thermo::darkPalette());
    thermo::QtForm1Window window;
    showTick(window, celsius);
    window.show();
    const QString out = QString::fromLocal8Bit(argv[1]);
    if (!window.grab().save(out, "PNG")) {
        std::fprintf(stderr, "%s: cannot write the image\n", argv[1]);
        return 1;
    }
    return 0;
}
