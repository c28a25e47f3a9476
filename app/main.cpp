// The Linux program: the Qt window, wired to the device module by runProgram().
#include <QApplication>
#include <QMessageBox>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "app/program.h"
#include "os/posix/standard_streams.h"
#include "window/qt/qt_form1_window.h"

int main(int argc, char* argv[]) {
    if (const std::string why = thermo::os::openClosedStandardStreams(); !why.empty()) {
        std::fprintf(stderr, "usb-thermometer: %s\n", why.c_str());
        return EXIT_FAILURE;
    }
    // The program takes no command line, and neither does Qt: given only the program's name, it
    // cannot take options such as -reverse or -style from it. Its environment variables (the
    // platform, scaling) still apply.
    char fallbackName[] = "usb-thermometer";
    char* qtArgv[] = {argc > 0 && argv[0] != nullptr ? argv[0] : fallbackName, nullptr};
    int qtArgc = 1;
    QApplication app(qtArgc, qtArgv);
    thermo::QtForm1Window window;
    return thermo::runProgram(
        window, window,
        [&window](std::string_view message) {
            QMessageBox::critical(
                nullptr, window.windowTitle(),
                QString::fromUtf8(message.data(), static_cast<qsizetype>(message.size())));
        },
        [&window] {
            window.show();
            return QApplication::exec();
        });
}
