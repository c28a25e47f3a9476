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
    QApplication app(argc, argv);
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
