// x-close WINDOW: asks an X window to close the way a window manager does, by sending it the
// WM_DELETE_WINDOW message of the WM_PROTOCOLS protocol (the window's close button).
#include <xcb/xcb.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char **argv)
{
    xcb_connection_t *connection = xcb_connect(nullptr, nullptr);
    if (argc != 2 || xcb_connection_has_error(connection)) {
        std::fprintf(stderr, "usage: x-close WINDOW (on an X display)\n");
        return 64;
    }
    auto atom = [connection](const char *name) {
        xcb_intern_atom_reply_t *reply = xcb_intern_atom_reply(
            connection, xcb_intern_atom(connection, 0, uint16_t(std::strlen(name)), name), nullptr);
        const xcb_atom_t result = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
        std::free(reply);
        return result;
    };
    xcb_client_message_event_t event {.response_type = XCB_CLIENT_MESSAGE, .format = 32, .sequence = 0,
                                      .window = xcb_window_t(std::strtoul(argv[1], nullptr, 0)),
                                      .type = atom("WM_PROTOCOLS"), .data = {}};
    event.data.data32[0] = atom("WM_DELETE_WINDOW");
    event.data.data32[1] = XCB_CURRENT_TIME;
    xcb_generic_error_t *error = xcb_request_check(
        connection, xcb_send_event_checked(connection, 0, event.window, XCB_EVENT_MASK_NO_EVENT,
                                           reinterpret_cast<const char *>(&event)));
    const int status = error ? 1 : 0;
    std::free(error);
    xcb_disconnect(connection);
    return status;
}
