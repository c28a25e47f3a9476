#include "window/qt/qt_accessible.h"

#include <QAccessibleWidget>
#include <QList>

#include "window/accessibility.h"
#include "window/qt/qt_form1_window.h"

namespace thermo {
namespace {

class Form1Accessible final : public QAccessibleWidget {
  public:
    explicit Form1Accessible(QWidget* window) : QAccessibleWidget(window, QAccessible::Window) {}

    int childCount() const override { return static_cast<int>(readingChildren().size()); }

    QAccessibleInterface* child(int index) const override {
        const QList<QWidget*> children = readingChildren();
        if (index < 0 || index >= children.size()) return nullptr;
        return QAccessible::queryAccessibleInterface(children[index]);
    }

    int indexOfChild(const QAccessibleInterface* child) const override {
        if (child == nullptr) return -1;
        return static_cast<int>(readingChildren().indexOf(qobject_cast<QWidget*>(child->object())));
    }

  private:
    // Controls inside a frame are read inside it; the frame's own children are already built in
    // reading order.
    QList<QWidget*> readingChildren() const {
        QList<QWidget*> children;
        for (ControlId id : kReadingOrder) {
            const ControlSpec& laidOut = controlSpec(id);
            if (laidOut.container) continue;
            const QString name =
                QString::fromUtf8(laidOut.name.data(), static_cast<qsizetype>(laidOut.name.size()));
            if (auto* w = widget()->findChild<QWidget*>(name, Qt::FindDirectChildrenOnly)) {
                children.append(w);
            }
        }
        return children;
    }
};

}  // namespace

QAccessibleInterface* form1AccessibleFactory(const QString& /*className*/, QObject* object) {
    if (auto* window = qobject_cast<QtForm1Window*>(object)) return new Form1Accessible(window);
    return nullptr;
}

}  // namespace thermo
