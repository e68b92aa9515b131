#pragma once
// D-Bus connections: logind's on the system bus (the power layer), the desktop's on the user's session
// bus (the power layer's inhibitors, the display layer's screen-cast portal). An explicit address (a
// private bus in tests) stands in for either.

#include <systemd/sd-bus.h>

#include <string>

namespace quill::platform::dbus {

// A started client connection, or null. Null address: the system bus when system is set, else the
// user's session bus. Method calls on it give up after timeoutSeconds.
sd_bus* openBus(const char* address, bool system, double timeoutSeconds);

// One method call's outcome: r as sd-bus returns it (a negative errno on failure), the bus error and the
// reply, both freed with this object.
struct BusCall {
    int r = 0;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;

    BusCall() = default;
    ~BusCall() {
        sd_bus_message_unref(reply);
        sd_bus_error_free(&error);
    }
    BusCall(const BusCall&) = delete;
    BusCall& operator=(const BusCall&) = delete;

    // Reads the reply's values after a call that succeeded; false when either failed.
    template <class... Out>
    bool read(const char* types, Out... out) {
        if (r >= 0) r = sd_bus_message_read(reply, types, out...);
        return r > 0;
    }
    // Why the call or the read failed.
    std::string failure() const;
};

}  // namespace quill::platform::dbus
