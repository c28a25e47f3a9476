#include "app/program.h"

#include <exception>
#include <memory>
#include <optional>

#include "hid/hid_platform.h"
#include "hid/hidusb.h"
#include "measure/calibration_file.h"
#include "window/form1.h"

namespace thermo {
namespace {

class Program {
  public:
    Program(Form1View& view, Form1EventSource& events)
        : platform_(hid::makeNativePlatform()),
          device_(*platform_),
          form_(view, device_, CalibrationFile("cal.txt")),
          events_(events) {
        events_.attach(form_);
    }
    // The window's events go nowhere once Form1 is gone.
    ~Program() { events_.setEvents({}); }
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    Form1& form() { return form_; }

  private:
    std::unique_ptr<hid::Platform> platform_;
    hid::HIDusb device_;
    Form1 form_;
    Form1EventSource& events_;
};

}  // namespace

int runProgram(Form1View& view, Form1EventSource& events,
               const std::function<void(std::string_view)>& reportFatal,
               const std::function<int()>& showAndRun) {
    std::optional<Program> program;
    try {
        program.emplace(view, events);
        program->form().Form_Load();
    } catch (const std::exception& error) {
        reportFatal(error.what());
        return 1;
    }
    return showAndRun();
}

}  // namespace thermo
