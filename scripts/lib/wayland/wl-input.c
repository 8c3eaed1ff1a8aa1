/* A pointer and a keyboard for a wlroots compositor whose seat has none (a headless one), through
 * the virtual-pointer and virtual-keyboard protocols. Reads commands, one a line, from standard
 * input and answers "ok" once the compositor has taken each:
 *   move X Y          pointer to (X, Y) on the output
 *   button CODE 1|0   press or release an evdev button (BTN_LEFT is 272)
 *   key CODE 1|0      press or release an evdev key; Shift, Control, Alt and Super set modifiers
 * Usage: wl-input WIDTH HEIGHT (the output's size, what absolute motion is relative to). */
#define _GNU_SOURCE
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>
#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include "virtual-input-client.h"

static struct wl_seat *seat;
static struct zwlr_virtual_pointer_manager_v1 *pointers;
static struct zwp_virtual_keyboard_manager_v1 *keyboards;

static void global(void *data, struct wl_registry *registry, uint32_t name, const char *interface,
                   uint32_t version) {
    (void)data, (void)version;
    if (strcmp(interface, wl_seat_interface.name) == 0 && seat == NULL) {
        seat = wl_registry_bind(registry, name, &wl_seat_interface, 1);
    } else if (strcmp(interface, zwlr_virtual_pointer_manager_v1_interface.name) == 0) {
        pointers = wl_registry_bind(registry, name, &zwlr_virtual_pointer_manager_v1_interface, 1);
    } else if (strcmp(interface, zwp_virtual_keyboard_manager_v1_interface.name) == 0) {
        keyboards = wl_registry_bind(registry, name, &zwp_virtual_keyboard_manager_v1_interface, 1);
    }
}

static void global_remove(void *data, struct wl_registry *registry, uint32_t name) {
    (void)data, (void)registry, (void)name;
}

static const struct wl_registry_listener registry_listener = {global, global_remove};

static uint32_t now_ms(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (uint32_t)(t.tv_sec * 1000 + t.tv_nsec / 1000000);
}

/* The modifier bit of an evdev key in the default keymap, 0 for other keys. */
static uint32_t modifier_of(unsigned key) {
    switch (key) {
    case 42: case 54: return 1;   /* Shift */
    case 29: case 97: return 4;   /* Control */
    case 56: case 100: return 8;  /* Alt (Mod1) */
    case 125: case 126: return 64; /* Super (Mod4) */
    default: return 0;
    }
}

static int send_keymap(struct zwp_virtual_keyboard_v1 *keyboard) {
    struct xkb_context *context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
    struct xkb_rule_names names = {"evdev", "pc105", "us", "", ""};
    struct xkb_keymap *keymap = context ? xkb_keymap_new_from_names(context, &names, 0) : NULL;
    char *text = keymap ? xkb_keymap_get_as_string(keymap, XKB_KEYMAP_FORMAT_TEXT_V1) : NULL;
    int ok = 0;
    if (text != NULL) {
        size_t size = strlen(text) + 1;
        int fd = memfd_create("keymap", MFD_CLOEXEC);
        if (fd >= 0 && write(fd, text, size) == (ssize_t)size) {
            zwp_virtual_keyboard_v1_keymap(keyboard, XKB_KEYMAP_FORMAT_TEXT_V1, fd, (uint32_t)size);
            ok = 1;
        }
        if (fd >= 0) close(fd);
    }
    free(text);
    xkb_keymap_unref(keymap);
    xkb_context_unref(context);
    return ok;
}

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: wl-input WIDTH HEIGHT\n");
        return 2;
    }
    const uint32_t width = (uint32_t)atoi(argv[1]), height = (uint32_t)atoi(argv[2]);
    struct wl_display *display = wl_display_connect(NULL);
    if (display == NULL) {
        fprintf(stderr, "wl-input: no Wayland display\n");
        return 1;
    }
    struct wl_registry *registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &registry_listener, NULL);
    wl_display_roundtrip(display);
    if (seat == NULL || pointers == NULL || keyboards == NULL) {
        fprintf(stderr, "wl-input: the compositor offers no seat or no virtual input\n");
        return 1;
    }
    struct zwlr_virtual_pointer_v1 *pointer =
        zwlr_virtual_pointer_manager_v1_create_virtual_pointer(pointers, seat);
    struct zwp_virtual_keyboard_v1 *keyboard =
        zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(keyboards, seat);
    if (!send_keymap(keyboard)) {
        fprintf(stderr, "wl-input: no keymap\n");
        return 1;
    }
    wl_display_roundtrip(display);
    printf("ok\n");
    fflush(stdout);

    uint32_t modifiers = 0;
    char line[256];
    while (fgets(line, sizeof line, stdin) != NULL) {
        unsigned a = 0, b = 0;
        if (sscanf(line, "move %u %u", &a, &b) == 2) {
            zwlr_virtual_pointer_v1_motion_absolute(pointer, now_ms(), a, b, width, height);
            zwlr_virtual_pointer_v1_frame(pointer);
        } else if (sscanf(line, "button %u %u", &a, &b) == 2) {
            zwlr_virtual_pointer_v1_button(pointer, now_ms(), a, b ? 1 : 0);
            zwlr_virtual_pointer_v1_frame(pointer);
        } else if (sscanf(line, "key %u %u", &a, &b) == 2) {
            zwp_virtual_keyboard_v1_key(keyboard, now_ms(), a, b ? 1 : 0);
            const uint32_t bit = modifier_of(a);
            if (bit != 0) {
                modifiers = b ? (modifiers | bit) : (modifiers & ~bit);
                zwp_virtual_keyboard_v1_modifiers(keyboard, modifiers, 0, 0, 0);
            }
        } else {
            fprintf(stderr, "wl-input: unknown command %s", line);
            return 2;
        }
        if (wl_display_roundtrip(display) < 0) {
            fprintf(stderr, "wl-input: the compositor went away\n");
            return 1;
        }
        printf("ok\n");
        fflush(stdout);
    }
    wl_display_disconnect(display);
    return 0;
}
