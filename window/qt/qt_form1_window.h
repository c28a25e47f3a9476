#pragma once

#include <QThreadPool>
#include <QWidget>
#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "window/form1_events.h"
#include "window/form1_view.h"
#include "window/layout.h"
#include "window/scale_geometry.h"

class QPainter;
class QTimer;

namespace thermo {

// Form1 as a Qt widget, built from the layout table. Frames, buttons and labels are child
// widgets (each named after its control); shapes and ticks are painted by the window itself.
// That split keeps the stacking order: no painted item lies in front of a label it overlaps, so
// children, which Qt always draws over their parent, never hide what should cover them. Sizes
// are logical pixels at 96 dpi; Qt's device-pixel ratio scales them on high-DPI screens.
class QtForm1Window final : public QWidget, public Form1View, public Form1EventSource {
    Q_OBJECT

  public:
    explicit QtForm1Window(QWidget* parent = nullptr);
    ~QtForm1Window() override;

    // The bar as it is painted now.
    PixelRect barRect() const { return bar_.device(kLayoutDpi); }

    // Form1View
    void setCaption(ControlId control, std::string_view text) override;
    std::string caption(ControlId control) const override;
    void setTextColour(ControlId control, ColourValue colour) override;
    void setStatusTip(std::string_view text) override;
    void setTimerEnabled(bool enabled) override;
    void setBarHeight(float twips) override;
    void setBarTop(float twips) override;
    std::string decimalSeparator() const override;
    void showError(std::string_view message) override;
    void runInBackground(std::function<void()> work, std::function<void()> done) override;
    void endBackgroundWork() override;
    void closeWindow() override;

  protected:
    void paintEvent(QPaintEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

  private:
    struct Job {
        std::function<void()> work;
        std::function<void()> done;
        std::uint64_t epoch = 0;
    };
    void runNextJob();
    Q_INVOKABLE void finishJob();

    void buildChildren();
    void makeTimer(const ControlSpec& laidOut);
    QWidget* makeChild(const ControlSpec& laidOut, QWidget& container);
    void setUpTabOrder();
    void showAccessibleText(ControlId control);
    void showTextColours();
    void showTextColour(ControlId control);
    QColor groundOf(const ControlSpec& label) const;
    void moveBar(const BarTwips& bar);
    void paintShape(QPainter& painter, const ControlSpec& laidOut) const;
    void paintTick(QPainter& painter, const ControlSpec& laidOut) const;

    std::array<QWidget*, kControlCount> widgets_{};   // owned by Qt's parent-child tree
    std::array<Paint, kControlCount> textColours_{};  // as laid out or as last set
    QTimer* timer_ = nullptr;
    BarTwips bar_;
    // One worker at a time: the tick's device work never overlaps itself. A job's `done` runs
    // only if endBackgroundWork() has not been called since the job started.
    QThreadPool worker_;
    std::uint64_t workEpoch_ = 0;
    // Jobs pass between the window's thread and the worker under this lock of ours rather than
    // only through Qt's queues, so that ThreadSanitizer (which does not see inside Qt) sees the
    // hand-over too.
    std::mutex jobsLock_;
    std::deque<Job> waiting_;
    std::deque<Job> finished_;
};

}  // namespace thermo
