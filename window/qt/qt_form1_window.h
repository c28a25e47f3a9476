#pragma once

#include <QWidget>
#include <array>
#include <functional>
#include <string>
#include <string_view>

#include "window/form1_events.h"
#include "window/form1_view.h"
#include "window/layout.h"
#include "window/scale_geometry.h"
#include "window/scene.h"

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
    PixelRect barRect() const { return picture_.bar.device(kLayoutDpi); }

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
    void closeWindow() override;
    // A queued invocation: it runs in this window's event loop, or never if the window goes first.
    void runOnWindowThread(std::function<void()> task) override;

  protected:
    void paintEvent(QPaintEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

  private:
    void buildChildren();
    void makeTimer(const ControlSpec& laidOut);
    QWidget* makeChild(const ControlSpec& laidOut, QWidget& container);
    void setUpTabOrder();
    void showAccessibleText(ControlId control);
    void showTextColours();
    void showTextColour(ControlId control);
    void moveBar(const BarTwips& bar);

    std::array<QWidget*, kControlCount> widgets_{};  // owned by Qt's parent-child tree
    QTimer* timer_ = nullptr;
    WindowPicture picture_;  // what the window shows, as laid out or as last set
};

}  // namespace thermo
