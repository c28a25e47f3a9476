#include "window/qt/qt_form1_window.h"

#include <QAccessible>
#include <QApplication>
#include <QCloseEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLocale>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <cstddef>
#include <utility>

#include "window/accessibility.h"
#include "window/qt/qt_accessible.h"
#include "window/qt/qt_label_style.h"
#include "window/qt/qt_palette.h"
#include "window/qt/qt_scene_painter.h"

namespace thermo {
namespace {

QString toQString(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QRect toQRect(const PixelRect& r) { return {r.left, r.top, r.width, r.height}; }

// The window's geometry is fixed in pixels at 96 dpi, so fonts are sized in pixels at 96 dpi
// too: a screen with another logical dpi must not make the texts outgrow their controls.
int pointsToPixels(double points) { return pointsToDevice(points, kLayoutDpi); }

QFont defaultWindowFont() {
    QFont font = QApplication::font();
    const int pixels = font.pixelSize() > 0 ? font.pixelSize() : pointsToPixels(font.pointSizeF());
    font.setPixelSize(std::clamp(pixels, 1, kLargestDefaultFontPixels));
    return font;
}

QFont labelFont(const FontSpec& laidOut, const QFont& fallback) {
    if (laidOut.family.empty()) return fallback;
    // "Arial" is asked for by name; fontconfig substitutes a metric-compatible face (Liberation
    // Sans) where Arial itself is not installed.
    QFont font(toQString(laidOut.family));
    font.setStyleHint(QFont::SansSerif);
    font.setWeight(QFont::Normal);
    font.setItalic(false);
    font.setPixelSize(pointsToPixels(laidOut.points));
    return font;
}

Qt::Alignment toQtAlignment(TextAlignment alignment) {
    switch (alignment) {
        case TextAlignment::Right:
            return Qt::AlignRight | Qt::AlignTop;
        case TextAlignment::Centre:
            return Qt::AlignHCenter | Qt::AlignTop;
        case TextAlignment::Left:
            break;
    }
    return Qt::AlignLeft | Qt::AlignTop;
}

}  // namespace

QtForm1Window::QtForm1Window(QWidget* parent) : QWidget(parent) {
    QAccessible::installFactory(form1AccessibleFactory);  // once: Qt ignores it when installed
    setWindowTitle(toQString(kWindowCaption));
    setFixedSize(kClientWidthPixels, kClientHeightPixels);
    setFont(defaultWindowFont());
    buildChildren();
    setUpTabOrder();
    for (const ControlSpec& laidOut : layoutTable()) showAccessibleText(laidOut.id);
    showTextColours();
}

QtForm1Window::~QtForm1Window() = default;

void QtForm1Window::buildChildren() {
    // Children created later lie in front of earlier ones, so build from the back to the front;
    // a frame's contents are built right after the frame, inside it.
    const auto& table = layoutTable();
    for (auto it = table.rbegin(); it != table.rend(); ++it) {
        if (it->container) continue;
        if (it->kind == ControlKind::Timer) {
            makeTimer(*it);
            continue;
        }
        widgets_[static_cast<std::size_t>(it->id)] = makeChild(*it, *this);
        if (it->kind != ControlKind::Frame) continue;
        for (auto inner = table.rbegin(); inner != table.rend(); ++inner) {
            if (inner->container != it->id) continue;
            widgets_[static_cast<std::size_t>(inner->id)] =
                makeChild(*inner, *widgets_[static_cast<std::size_t>(it->id)]);
        }
    }
}

void QtForm1Window::makeTimer(const ControlSpec& laidOut) {
    timer_ = new QTimer(this);
    timer_->setObjectName(toQString(laidOut.name));
    timer_->setInterval(laidOut.intervalMs);
    connect(timer_, &QTimer::timeout, this, [this] { sendTimer(); });
    if (laidOut.enabled) timer_->start();
}

QWidget* QtForm1Window::makeChild(const ControlSpec& laidOut, QWidget& container) {
    QWidget* parent = &container;
    QWidget* widget = nullptr;
    switch (laidOut.kind) {
        case ControlKind::Frame:
            widget = new QGroupBox(toQString(laidOut.caption), parent);
            break;
        case ControlKind::PushButton: {
            auto* button = new QPushButton(toQString(laidOut.caption), parent);
            button->setFocusPolicy(Qt::StrongFocus);
            connect(button, &QPushButton::clicked, this,
                    [this, id = laidOut.id] { sendClick(id); });
            widget = button;
            break;
        }
        case ControlKind::Label: {
            auto* label = new QLabel(toQString(laidOut.caption), parent);
            label->setTextFormat(Qt::PlainText);
            label->setAlignment(toQtAlignment(laidOut.alignment));
            label->setWordWrap(true);
            label->setFont(labelFont(laidOut.font, font()));  // colours: showTextColour()
            widget = label;
            break;
        }
        case ControlKind::Timer:
        case ControlKind::Shape:
        case ControlKind::Line:
            return nullptr;  // painted by the window, or not drawn at all
    }
    widget->setObjectName(toQString(laidOut.name));
    widget->setGeometry(toQRect(controlRect(laidOut.id)));
    return widget;
}

void QtForm1Window::setUpTabOrder() {
    const std::vector<ControlId> order = tabOrder();
    for (std::size_t i = 0; i + 1 < order.size(); ++i) {
        setTabOrder(widgets_[static_cast<std::size_t>(order[i])],
                    widgets_[static_cast<std::size_t>(order[i + 1])]);
    }
    if (!order.empty()) widgets_[static_cast<std::size_t>(order.front())]->setFocus();
}

// Form1 sets every readout each tick, mostly to what it shows: its accessible name (and the
// accessibility event with it) is made again only for a new caption.
void QtForm1Window::setCaption(ControlId control, std::string_view text) {
    QWidget* widget = widgets_[static_cast<std::size_t>(control)];
    std::string& shown = picture_.captions[static_cast<std::size_t>(control)];
    if (qobject_cast<QLabel*>(widget) != nullptr && shown == text) return;
    if (auto* label = qobject_cast<QLabel*>(widget)) {
        label->setText(toQString(text));
    } else if (auto* button = qobject_cast<QPushButton*>(widget)) {
        button->setText(toQString(text));
    } else if (auto* frame = qobject_cast<QGroupBox*>(widget)) {
        frame->setTitle(toQString(text));
    }
    shown = std::string(text);
    showAccessibleText(control);
}

std::string QtForm1Window::caption(ControlId control) const {
    const QWidget* widget = widgets_[static_cast<std::size_t>(control)];
    if (const auto* label = qobject_cast<const QLabel*>(widget)) return label->text().toStdString();
    if (const auto* button = qobject_cast<const QPushButton*>(widget)) {
        return button->text().toStdString();
    }
    if (const auto* frame = qobject_cast<const QGroupBox*>(widget)) {
        return frame->title().toStdString();
    }
    return {};
}

// Form1 sets the status line's colour, tip and the bar every tick, mostly to what they were:
// restyling or repainting them anyway would wake the window and the X server each second.
void QtForm1Window::setTextColour(ControlId control, ColourValue colour) {
    Paint& shown = picture_.textColours[static_cast<std::size_t>(control)];
    if (shown == Paint::of(colour)) return;
    shown = Paint::of(colour);
    showTextColour(control);
}

void QtForm1Window::setStatusTip(std::string_view text) {
    QWidget* status = widgets_[static_cast<std::size_t>(ControlId::Label1)];
    if (status->toolTip() == toQString(text)) return;
    status->setToolTip(toQString(text));
    showAccessibleText(ControlId::Label1);
}

// A unit label's caption is part of its readout's name, so a new unit renames the readout.
void QtForm1Window::showAccessibleText(ControlId control) {
    const ControlId shown = readoutOfUnit(control).value_or(control);
    QWidget* widget = widgets_[static_cast<std::size_t>(shown)];
    if (widget == nullptr) return;
    std::string extra;
    if (const auto unit = unitOfReadout(shown)) {
        extra = caption(*unit);
    } else if (shown == ControlId::Label1) {
        extra = widget->toolTip().toStdString();
    }
    const AccessibleText text = accessibleText(shown, caption(shown), extra);
    widget->setAccessibleName(toQString(text.name));
    widget->setAccessibleDescription(toQString(text.description));
}

void QtForm1Window::showTextColours() {
    for (const ControlSpec& laidOut : layoutTable()) {
        if (laidOut.kind == ControlKind::Label) showTextColour(laidOut.id);
    }
}

void QtForm1Window::showTextColour(ControlId control) {
    if (QWidget* widget = widgets_[static_cast<std::size_t>(control)]) {
        styleText(*widget, controlSpec(control),
                  picture_.textColours[static_cast<std::size_t>(control)], palette());
    }
}

void QtForm1Window::setTimerEnabled(bool enabled) {
    if (enabled) {
        if (!timer_->isActive()) timer_->start();
    } else {
        timer_->stop();
    }
}

void QtForm1Window::setBarHeight(float twips) { moveBar({twips, picture_.bar.top}); }

void QtForm1Window::setBarTop(float twips) { moveBar({picture_.bar.height, twips}); }

void QtForm1Window::moveBar(const BarTwips& bar) {
    if (bar == picture_.bar) return;
    const QRect before = toQRect(barRect());
    picture_.bar = bar;
    update(before.united(toQRect(barRect())));
}

std::string QtForm1Window::decimalSeparator() const {
    return QString(QLocale().decimalPoint()).toStdString();
}

void QtForm1Window::showError(std::string_view message) {
    QMessageBox::warning(this, windowTitle(), toQString(message));
}

void QtForm1Window::runOnWindowThread(std::function<void()> task) {
    QMetaObject::invokeMethod(this, std::move(task), Qt::QueuedConnection);
}

void QtForm1Window::closeWindow() {
    allowClose();
    close();
}

void QtForm1Window::closeEvent(QCloseEvent* event) {
    if (closeRequested()) {
        event->accept();
    } else {
        event->ignore();
    }
}

void QtForm1Window::changeEvent(QEvent* event) {
    if (event->type() == QEvent::PaletteChange) showTextColours();
    QWidget::changeEvent(event);
}

void QtForm1Window::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    paintScene(painter, scene(picture_), palette());
}

}  // namespace thermo
