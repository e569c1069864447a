// Pointer and keyboard input into a KWin Wayland session, as a user's would
// come, through KWin's fake-input protocol (KWin's own test tool for what
// XTest is on X11); the tray host suite's way to click and type into native
// Wayland clients such as plasmashell. KWin takes it only where it checks no
// permissions (KWIN_WAYLAND_NO_PERMISSION_CHECKS=1 in its environment).
//
// Usage: kwin-fake-input STEP...; each step one of
//   move X Y          the pointer to (X, Y) in the screen's logical pixels
//   button CODE 1|0   a pointer button (evdev code) pressed or released
//   key CODE 1|0      a key (evdev code) pressed or released
// on the display WAYLAND_DISPLAY names. Each step reaches KWin before the next
// is sent. Status 0 when all were sent, 1 without the protocol, 2 on bad steps.

#include "fake-input-client-protocol.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <wayland-client.h>

namespace {

struct Globals {
    org_kde_kwin_fake_input *input = nullptr;
};

void announced(void *data, wl_registry *registry, uint32_t name, const char *interface,
               uint32_t version) {
    auto *globals = static_cast<Globals *>(data);
    // Version 4 brought the keyboard, 3 the absolute pointer.
    if (std::strcmp(interface, org_kde_kwin_fake_input_interface.name) == 0 && version >= 4)
        globals->input = static_cast<org_kde_kwin_fake_input *>(
            wl_registry_bind(registry, name, &org_kde_kwin_fake_input_interface, 4));
}

void removed(void *, wl_registry *, uint32_t) {}

const wl_registry_listener registryListener = {announced, removed};

} // namespace

int main(int argc, char *argv[]) {
    wl_display *display = wl_display_connect(nullptr);
    if (!display) {
        std::fprintf(stderr, "kwin-fake-input: no Wayland display\n");
        return 1;
    }
    Globals globals;
    wl_registry *registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &registryListener, &globals);
    wl_display_roundtrip(display);
    int status = 0;
    if (!globals.input) {
        std::fprintf(stderr, "kwin-fake-input: the compositor offers no fake input\n");
        status = 1;
    } else {
        org_kde_kwin_fake_input_authenticate(globals.input, "Quayline tests",
                                             "drives the tray host suite");
    }
    for (int i = 1; status == 0 && i < argc; i += 3) {
        if (i + 2 >= argc) {
            status = 2;
            break;
        }
        const char *step = argv[i];
        const long a = std::strtol(argv[i + 1], nullptr, 10);
        const long b = std::strtol(argv[i + 2], nullptr, 10);
        if (std::strcmp(step, "move") == 0)
            org_kde_kwin_fake_input_pointer_motion_absolute(globals.input, wl_fixed_from_int(a),
                                                            wl_fixed_from_int(b));
        else if (std::strcmp(step, "button") == 0)
            org_kde_kwin_fake_input_button(globals.input, a, b);
        else if (std::strcmp(step, "key") == 0)
            org_kde_kwin_fake_input_keyboard_key(globals.input, a, b);
        else
            status = 2;
        if (wl_display_roundtrip(display) < 0)
            status = 1;
    }
    if (status == 2)
        std::fprintf(stderr, "kwin-fake-input: steps are move X Y, button CODE 1|0, key CODE 1|0\n");
    if (globals.input)
        org_kde_kwin_fake_input_destroy(globals.input);
    wl_registry_destroy(registry);
    wl_display_roundtrip(display);
    wl_display_disconnect(display);
    return status;
}
