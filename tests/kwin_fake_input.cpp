// Pointer and keyboard input into a KWin Wayland session, as a user's would
// come, through KWin's fake-input protocol (its counterpart of X11's XTest):
// the tray host suite's way to click and type into native
// Wayland clients such as plasmashell. KWin takes it only where it checks no
// permissions (KWIN_WAYLAND_NO_PERMISSION_CHECKS=1 in its environment).
//
// It reads its steps from standard input, one a line:
//   move X Y          the pointer to (X, Y) in the screen's logical pixels
//   button CODE 1|0   a pointer button (evdev code) pressed or released
//   key CODE 1|0      a key (evdev code) pressed or released
// and answers each with "ok" once KWin has it, or "bad step"; "ready" first,
// once bound, on the display WAYLAND_DISPLAY names. It stays connected until
// its input ends: KWin gives the seat a pointer and a keyboard while a
// fake-input client is connected and takes them away as it goes, and clients
// lose the events that came in between.

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

int main() {
    wl_display *display = wl_display_connect(nullptr);
    if (!display) {
        std::fprintf(stderr, "kwin-fake-input: no Wayland display\n");
        return 1;
    }
    Globals globals;
    wl_registry *registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &registryListener, &globals);
    wl_display_roundtrip(display);
    if (!globals.input) {
        std::fprintf(stderr, "kwin-fake-input: the compositor offers no fake input\n");
        return 1;
    }
    org_kde_kwin_fake_input_authenticate(globals.input, "Quayline tests",
                                         "drives the tray host suite");
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    bool connected = wl_display_roundtrip(display) >= 0;
    if (connected)
        std::puts("ready");
    char step[16];
    long a = 0, b = 0;
    for (int read = 0; connected && (read = std::scanf("%15s %ld %ld", step, &a, &b)) != EOF;) {
        if (read != 3)
            std::scanf("%*[^\n]");
        if (read == 3 && std::strcmp(step, "move") == 0)
            org_kde_kwin_fake_input_pointer_motion_absolute(globals.input, wl_fixed_from_int(a),
                                                            wl_fixed_from_int(b));
        else if (read == 3 && std::strcmp(step, "button") == 0)
            org_kde_kwin_fake_input_button(globals.input, a, b);
        else if (read == 3 && std::strcmp(step, "key") == 0)
            org_kde_kwin_fake_input_keyboard_key(globals.input, a, b);
        else {
            std::puts("bad step");
            continue;
        }
        connected = wl_display_roundtrip(display) >= 0;
        if (connected)
            std::puts("ok");
    }
    org_kde_kwin_fake_input_destroy(globals.input);
    wl_registry_destroy(registry);
    wl_display_disconnect(display);
    return connected ? 0 : 1;
}
