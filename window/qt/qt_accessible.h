#pragma once

class QAccessibleInterface;
class QObject;
class QString;

namespace thermo {

// For QAccessible::installFactory: presents QtForm1Window's controls to screen readers in the
// window's reading order (kReadingOrder) rather than in the order they are stacked, and leaves
// out the unit labels, which are read with their values.
QAccessibleInterface* form1AccessibleFactory(const QString& className, QObject* object);

}  // namespace thermo
