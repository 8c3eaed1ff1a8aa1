// Counts the D-Bus method calls a process sends, whether over a bus or straight to an application
// (AT-SPI talks to most applications peer to peer, out of sight of a bus monitor). Preloaded by
// bench/atspi_size_figures.py: one counter of all calls, kept in the file named by SW_CALL_COUNT,
// which the bench reads while the process runs.
#define _GNU_SOURCE
#include <dbus/dbus.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

static unsigned long* counters;

static void note(DBusMessage* message) {
    if (counters == NULL) {
        const char* path = getenv("SW_CALL_COUNT");
        int fd = path != NULL ? open(path, O_RDWR) : -1;
        void* map = fd >= 0 ? mmap(NULL, sizeof *counters, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0)
                            : MAP_FAILED;
        if (fd >= 0) close(fd);
        counters = map == MAP_FAILED ? (unsigned long*)-1 : map;
    }
    if (counters == (unsigned long*)-1 || dbus_message_get_type(message) != DBUS_MESSAGE_TYPE_METHOD_CALL) return;
    __atomic_add_fetch(&counters[0], 1, __ATOMIC_RELAXED);
}

dbus_bool_t dbus_connection_send_with_reply(DBusConnection* c, DBusMessage* m, DBusPendingCall** p, int t) {
    static dbus_bool_t (*real)(DBusConnection*, DBusMessage*, DBusPendingCall**, int);
    if (real == NULL) real = dlsym(RTLD_NEXT, "dbus_connection_send_with_reply");
    note(m);
    return real(c, m, p, t);
}

DBusMessage* dbus_connection_send_with_reply_and_block(DBusConnection* c, DBusMessage* m, int t, DBusError* e) {
    static DBusMessage* (*real)(DBusConnection*, DBusMessage*, int, DBusError*);
    if (real == NULL) real = dlsym(RTLD_NEXT, "dbus_connection_send_with_reply_and_block");
    note(m);
    return real(c, m, t, e);
}

dbus_bool_t dbus_connection_send(DBusConnection* c, DBusMessage* m, dbus_uint32_t* serial) {
    static dbus_bool_t (*real)(DBusConnection*, DBusMessage*, dbus_uint32_t*);
    if (real == NULL) real = dlsym(RTLD_NEXT, "dbus_connection_send");
    note(m);
    return real(c, m, serial);
}
