// The window as a screen reader meets it, through Qt's accessibility interface: which controls,
// in which order, with which roles, names and descriptions.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QWidget>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/row_name.h"
#include "tests/window/qt/qt_window_support.h"
#include "window/accessibility.h"

namespace thermo::testing {
namespace {

using thermo::PrintTo;

std::string text(const QAccessibleInterface& node, QAccessible::Text which) {
    return node.text(which).toStdString();
}

std::string objectName(const QAccessibleInterface& node) {
    return node.object() ? node.object()->objectName().toStdString() : std::string();
}

QAccessibleInterface& accessible(QtForm1Window& window, ControlId control) {
    const auto name = QString::fromUtf8(controlSpec(control).name.data(),
                                        static_cast<qsizetype>(controlSpec(control).name.size()));
    QAccessibleInterface* node =
        QAccessible::queryAccessibleInterface(window.findChild<QWidget*>(name));
    if (node == nullptr)
        throw std::runtime_error("no accessible interface for " + name.toStdString());
    return *node;
}

ControlId controlOf(const std::string& name) {
    for (const ControlSpec& c : layoutTable()) {
        if (c.name == name) return c.id;
    }
    throw std::runtime_error("no control " + name);
}

// Depth first, as a screen reader walks it; each with the role of its kind of control.
void collect(QAccessibleInterface& node, std::vector<std::string>& names) {
    for (int i = 0; i < node.childCount(); ++i) {
        QAccessibleInterface* child = node.child(i);
        ASSERT_NE(child, nullptr) << objectName(node) << " child " << i;
        EXPECT_EQ(node.indexOfChild(child), i) << objectName(*child);
        EXPECT_EQ(child->parent(), &node) << objectName(*child);
        names.push_back(objectName(*child));
        const ControlKind kind = controlSpec(controlOf(objectName(*child))).kind;
        EXPECT_EQ(child->role(), kind == ControlKind::PushButton ? QAccessible::PushButton
                                 : kind == ControlKind::Frame    ? QAccessible::Grouping
                                                                 : QAccessible::StaticText)
            << objectName(*child);
        collect(*child, names);
    }
}

// Down the right-hand side (readouts, calibration, status, START/STOP), then the scale numbers
// from the top; each unit is read with its value rather than on its own.
TEST(AccessibleTree, ListsTheControlsInTheWindowsReadingOrderWithTheirRoles) {
    const auto window = shownWindow();
    QAccessibleInterface* root = QAccessible::queryAccessibleInterface(window.get());
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->role(), QAccessible::Window);
    EXPECT_EQ(text(*root, QAccessible::Name), "USB Thermometer");
    std::vector<std::string> names;
    collect(*root, names);
    EXPECT_EQ(names, (std::vector<std::string>{"Label5", "Label10", "Frame1", "Command2",
                                               "Command3", "Label1", "cmdOn", "Label8", "Label7",
                                               "Label6", "Label4", "Label2"}));
}

struct Spoken {
    const char* name;
    ControlId control;
    const char* caption;  // nullptr: as laid out
    const char* tip;      // the status line's tip, nullptr for none
    const char* expectedName;
    const char* expectedDescription;  // nullptr: any, but not empty
};

class AccessibleText : public ::testing::TestWithParam<Spoken> {};

TEST_P(AccessibleText, NamesTheControlAndSaysWhatItIsFor) {
    const auto window = shownWindow();
    const Spoken& s = GetParam();
    if (s.caption) window->setCaption(s.control, s.caption);
    if (s.tip) window->setStatusTip(s.tip);
    const QAccessibleInterface& node = accessible(*window, s.control);
    EXPECT_EQ(text(node, QAccessible::Name), s.expectedName);
    if (s.expectedDescription) {
        EXPECT_EQ(text(node, QAccessible::Description), s.expectedDescription);
    } else {
        EXPECT_FALSE(text(node, QAccessible::Description).empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Accessible, AccessibleText,
    ::testing::Values(
        Spoken{"start", ControlId::cmdOn, nullptr, nullptr, "Start measuring", nullptr},
        Spoken{"stop", ControlId::cmdOn, "STOP", nullptr, "Stop measuring", nullptr},
        Spoken{"zero_button", ControlId::Command2, nullptr, nullptr, "Calibrate 0 \302\260C",
               "Store the current reading as the 0 \302\260C calibration point"},
        Spoken{"hundred_button", ControlId::Command3, nullptr, nullptr, "Calibrate 100 \302\260C",
               "Store the current reading as the 100 \302\260C calibration point"},
        Spoken{"celsius_laid_out", ControlId::Label5, nullptr, nullptr, "130.0 \302\260C", nullptr},
        Spoken{"celsius_reading", ControlId::Label5, "54.2", nullptr, "54.2 \302\260C", nullptr},
        Spoken{"fahrenheit_reading", ControlId::Label10, "129.5", nullptr, "129.5 \302\260F",
               nullptr},
        Spoken{"status_with_tip", ControlId::Label1, "DEVICE NOT DETECTED",
               "open /dev/hidraw3: Permission denied", "DEVICE NOT DETECTED",
               "Whether the thermometer is connected. open /dev/hidraw3: Permission denied"},
        Spoken{"scale_top", ControlId::Label8, nullptr, nullptr, "130 \302\260C", nullptr}),
    rowName);

// A name a screen reader speaks must contain what the eye reads on the control, so that a user
// who says what they see (voice control) reaches it.
TEST(AccessibleText, ContainsTheVisibleCaptionOfEveryControlInTheTree) {
    const auto window = shownWindow();
    window->setCaption(ControlId::Label1, "DEVICE DETECTED");
    for (const ControlSpec& c : layoutTable()) {
        if (c.kind == ControlKind::Shape || c.kind == ControlKind::Line ||
            c.kind == ControlKind::Timer || readoutOfUnit(c.id)) {
            continue;
        }
        const QString name = accessible(*window, c.id).text(QAccessible::Name);
        const QString caption = QString::fromStdString(window->caption(c.id)).trimmed();
        EXPECT_TRUE(name.contains(caption, Qt::CaseInsensitive))
            << c.name << ": \"" << name.toStdString() << "\" lacks \"" << caption.toStdString()
            << "\"";
    }
}

}  // namespace
}  // namespace thermo::testing
