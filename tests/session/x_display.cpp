#include "tests/session/x_display.h"

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <system_error>

namespace thermo::e2e {

using namespace std::chrono_literals;

namespace {

// A reply of xcb, freed by its owner.
template <typename Reply>
using ReplyPtr = std::unique_ptr<Reply, decltype(&std::free)>;

template <typename Reply>
ReplyPtr<Reply> own(Reply* reply) {
    return ReplyPtr<Reply>(reply, &std::free);
}

}  // namespace

Image Image::crop(const PixelRect& r) const {
    Image out;
    out.width = r.width;
    out.height = r.height;
    for (int y = r.top; y < r.bottom(); ++y) {
        for (int x = r.left; x < r.right(); ++x) out.pixels.push_back(at(x, y));
    }
    return out;
}

XConnection::XConnection(const std::string& display) {
    connection_ = xcb_connect(display.c_str(), nullptr);
    if (xcb_connection_has_error(connection_) != 0) {
        xcb_disconnect(connection_);
        connection_ = nullptr;
        throw std::runtime_error("cannot open X display " + display);
    }
}

XConnection::~XConnection() {
    if (connection_ != nullptr) xcb_disconnect(connection_);
}

std::optional<Image> XConnection::grab(WindowId window) {
    auto geometry =
        own(xcb_get_geometry_reply(connection_, xcb_get_geometry(connection_, window), nullptr));
    if (!geometry) return std::nullopt;
    const int width = geometry->width;
    const int height = geometry->height;
    auto reply = own(xcb_get_image_reply(
        connection_,
        xcb_get_image(connection_, XCB_IMAGE_FORMAT_Z_PIXMAP, window, 0, 0,
                      static_cast<std::uint16_t>(width), static_cast<std::uint16_t>(height), ~0U),
        nullptr));
    if (!reply) return std::nullopt;
    const auto* data = xcb_get_image_data(reply.get());
    const auto length = static_cast<std::size_t>(xcb_get_image_data_length(reply.get()));
    // Xvfb's 24-bit screen: 32 bits a pixel, blue in the lowest byte, least significant first.
    if (xcb_get_setup(connection_)->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST ||
        length < static_cast<std::size_t>(width * height * 4)) {
        throw std::runtime_error("unexpected X image format");
    }
    Image image;
    image.width = width;
    image.height = height;
    image.pixels.reserve(static_cast<std::size_t>(width * height));
    for (std::size_t i = 0; i < static_cast<std::size_t>(width * height); ++i) {
        image.pixels.push_back({data[4 * i + 2], data[4 * i + 1], data[4 * i]});
    }
    return image;
}

std::uint32_t XConnection::atom(const char* name) {
    auto reply = own(xcb_intern_atom_reply(
        connection_,
        xcb_intern_atom(connection_, 0, static_cast<std::uint16_t>(std::strlen(name)), name),
        nullptr));
    if (!reply) throw std::runtime_error(std::string("cannot intern the atom ") + name);
    return reply->atom;
}

void XConnection::requestClose(WindowId window) {
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = window;
    event.type = atom("WM_PROTOCOLS");
    event.data.data32[0] = atom("WM_DELETE_WINDOW");
    event.data.data32[1] = XCB_CURRENT_TIME;
    xcb_send_event(connection_, 0, window, XCB_EVENT_MASK_NO_EVENT,
                   reinterpret_cast<const char*>(&event));
    xcb_flush(connection_);
}

}  // namespace thermo::e2e
