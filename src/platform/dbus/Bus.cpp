#include "platform/dbus/Bus.h"

#include <cstring>

namespace quill::platform::dbus {

sd_bus* openBus(const char* address, bool system, double timeoutSeconds) {
    sd_bus* bus = nullptr;
    int r = 0;
    if (address == nullptr) {
        r = system ? sd_bus_open_system(&bus) : sd_bus_open_user(&bus);
    } else {
        r = sd_bus_new(&bus);
        if (r >= 0) r = sd_bus_set_address(bus, address);
        if (r >= 0) r = sd_bus_set_bus_client(bus, 1);
        if (r >= 0) r = sd_bus_start(bus);
    }
    if (r >= 0) r = sd_bus_set_method_call_timeout(bus, static_cast<uint64_t>(timeoutSeconds * 1e6));
    if (r < 0) {
        sd_bus_unref(bus);
        return nullptr;
    }
    return bus;
}

std::string BusCall::failure() const {
    if (error.message) return error.message;
    if (r == 0) return "the reply holds no value";
    return std::strerror(r < 0 ? -r : r);
}

}  // namespace quill::platform::dbus
