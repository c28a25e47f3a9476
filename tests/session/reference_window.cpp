#include "tests/session/reference_window.h"

#include <QImage>
#include <QPixmap>

#include "tests/session/session.h"
#include "window/qt/qt_form1_window.h"
#include "window/scale_geometry.h"

namespace thermo::e2e {

Image referenceCaption(ControlId control, std::string_view caption) {
    QtForm1Window window;
    window.setCaption(control, caption);
    const QImage picture = window.grab().toImage().convertToFormat(QImage::Format_RGB32);
    Image image;
    image.width = picture.width();
    image.height = picture.height();
    for (int y = 0; y < picture.height(); ++y) {
        for (int x = 0; x < picture.width(); ++x) {
            const QRgb pixel = picture.pixel(x, y);
            image.pixels.push_back({qRed(pixel), qGreen(pixel), qBlue(pixel)});
        }
    }
    return controlImage(image, control);
}

bool readsCaption(const Image& window, ControlId control, std::string_view caption) {
    return controlImage(window, control) == referenceCaption(control, caption);
}

}  // namespace thermo::e2e
