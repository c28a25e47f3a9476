// Wires the program together: the native HID layer, the device module, cal.txt in the working
// directory, the Qt window and the window's behaviour.
#include <QApplication>
#include <QMessageBox>
#include <exception>

#include "hid/hid_platform.h"
#include "hid/hidusb.h"
#include "measure/calibration_file.h"
#include "window/form1.h"
#include "window/qt/qt_form1_window.h"

int main(int argc, char* argv[]) {
    // The program takes no command line, and neither does Qt: given only the program's name, it
    // cannot take options such as -reverse or -style from it. Its environment variables (the
    // platform, scaling) still apply.
    char fallbackName[] = "usb-thermometer";
    char* qtArgv[] = {argc > 0 && argv[0] != nullptr ? argv[0] : fallbackName, nullptr};
    int qtArgc = 1;
    QApplication app(qtArgc, qtArgv);
    const std::unique_ptr<thermo::hid::Platform> platform = thermo::hid::makeNativePlatform();
    thermo::hid::HIDusb device(*platform);
    thermo::QtForm1Window window;
    thermo::Form1 form(window, device, thermo::CalibrationFile("cal.txt"));
    window.attach(form);
    try {
        form.Form_Load();
    } catch (const std::exception& error) {
        // Start-up failed (typically cal.txt cannot be read): say why, and never show the window.
        QMessageBox::critical(nullptr, window.windowTitle(), QString::fromUtf8(error.what()));
        return 1;
    }
    window.show();
    return QApplication::exec();
}
