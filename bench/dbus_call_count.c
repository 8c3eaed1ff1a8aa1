// Counts the D-Bus method calls a process sends, whether over a bus or straight to an application
// (AT-SPI talks to most applications peer to peer, out of sight of a bus monitor). Preloaded by
// the figures scripts of bench/: in the file named by SW_CALL_COUNT, which they read while the
// process runs, one counter of all calls, then the monotonic time in nanoseconds of each of the
// last kTimes calls (call n at slot n % kTimes), so that calls can be told apart by when they came.
// With SW_CALL_LOG set, each call is also appended to that file as a line: the monotonic time in
// nanoseconds, the interface and member, the destination, and "dispatching" when the call is made
// while a message is being handed out (an event callback, or libatspi's own handling of one).
#define _GNU_SOURCE
#include <dbus/dbus.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

enum { kTimes = 4096 };
static unsigned long* counters;
static __thread int dispatching;

static void note(DBusMessage* message) {
    if (counters == NULL) {
        const char* path = getenv("SW_CALL_COUNT");
        int fd = path != NULL ? open(path, O_RDWR) : -1;
        void* map = fd >= 0 ? mmap(NULL, (1 + kTimes) * sizeof *counters, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0)
                            : MAP_FAILED;
        if (fd >= 0) close(fd);
        counters = map == MAP_FAILED ? (unsigned long*)-1 : map;
    }
    if (counters == (unsigned long*)-1 || dbus_message_get_type(message) != DBUS_MESSAGE_TYPE_METHOD_CALL) return;
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const unsigned long n = __atomic_fetch_add(&counters[0], 1, __ATOMIC_RELAXED);
    counters[1 + n % kTimes] = (unsigned long)now.tv_sec * 1000000000ul + (unsigned long)now.tv_nsec;
    static int log = -2;
    if (log == -2) {
        const char* path = getenv("SW_CALL_LOG");
        log = path != NULL ? open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600) : -1;
    }
    if (log >= 0) {
        char line[512];
        const char* interface = dbus_message_get_interface(message);
        const char* member = dbus_message_get_member(message);
        const char* destination = dbus_message_get_destination(message);
        const int length = snprintf(line, sizeof line, "%lu %s.%s %s%s\n", counters[1 + n % kTimes],
                                    interface ? interface : "", member ? member : "",
                                    destination ? destination : "(peer)",
                                    dispatching > 0 ? " dispatching" : "");
        if (length > 0) (void)!write(log, line, length < (int)sizeof line ? (size_t)length : sizeof line - 1);
    }
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

DBusDispatchStatus dbus_connection_dispatch(DBusConnection* c) {
    static DBusDispatchStatus (*real)(DBusConnection*);
    if (real == NULL) real = dlsym(RTLD_NEXT, "dbus_connection_dispatch");
    ++dispatching;
    const DBusDispatchStatus status = real(c);
    --dispatching;
    return status;
}

dbus_bool_t dbus_connection_read_write_dispatch(DBusConnection* c, int timeout) {
    static dbus_bool_t (*real)(DBusConnection*, int);
    if (real == NULL) real = dlsym(RTLD_NEXT, "dbus_connection_read_write_dispatch");
    ++dispatching;
    const dbus_bool_t result = real(c, timeout);
    --dispatching;
    return result;
}
