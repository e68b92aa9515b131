// The PipeWire side of PrivatePulseServer: a PipeWire daemon holding the null devices and a driver that
// paces them without sound cards, WirePlumber to link streams and choose the defaults (its device
// monitors and the portal switched off, so it touches neither the machine's cards nor a session bus),
// and pipewire-pulse answering the PulseAudio protocol on the private socket. Each runs on its own
// configuration, written into the server's folder.

#include <chrono>
#include <filesystem>
#include <thread>

#include "support/ChildProcess.h"
#include "support/FileText.h"
#include "support/PrivatePulseServer.h"

namespace quill::testing {

namespace {

std::string jsonString(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

std::string nullDevice(bool output, const std::string& name, const std::string& description, bool internal) {
    std::string props = "factory.name = support.null-audio-sink node.name = " + jsonString(name) +
                        " node.description = " + jsonString(description) +
                        " media.class = " + (output ? "Audio/Sink" : "Audio/Source/Virtual") +
                        " audio.position = [ FL FR ]";
    if (output && internal) props += " device.form_factor = internal";
    return "    { factory = adapter args = { " + props + " } }\n";
}

constexpr const char* kSpaLibs =
    "context.spa-libs = {\n"
    "    audio.convert.* = audioconvert/libspa-audioconvert\n"
    "    support.* = support/libspa-support\n"
    "}\n";

std::string daemonConfig(const std::vector<PrivatePulseServer::Device>& devices) {
    std::string objects = nullDevice(true, PrivatePulseServer::kSinkName, "Null Output", false);
    for (const auto& d : devices)
        objects += nullDevice(d.output, d.name, d.description, d.internal);
    return "context.properties = { core.daemon = true core.name = pipewire-0 }\n" + std::string(kSpaLibs) +
           "context.modules = [\n"
           "    { name = libpipewire-module-protocol-native }\n"
           "    { name = libpipewire-module-metadata }\n"
           "    { name = libpipewire-module-spa-node-factory }\n"
           "    { name = libpipewire-module-client-node }\n"
           "    { name = libpipewire-module-client-device }\n"
           "    { name = libpipewire-module-access }\n"
           "    { name = libpipewire-module-adapter }\n"
           "    { name = libpipewire-module-link-factory }\n"
           "    { name = libpipewire-module-session-manager }\n"
           "]\n"
           "context.objects = [\n"
           "    { factory = spa-node-factory args = { factory.name = support.node.driver node.name = "
           "Dummy-Driver node.group = pipewire.dummy priority.driver = 20000 } }\n"
           "    { factory = spa-node-factory args = { factory.name = support.node.driver node.name = "
           "Freewheel-Driver priority.driver = 19000 node.group = pipewire.freewheel node.freewheel = true } "
           "}\n" +
           objects + "]\n";
}

std::string pulseConfig(const std::string& socket) {
    return std::string(kSpaLibs) +
           "context.modules = [\n"
           "    { name = libpipewire-module-protocol-native }\n"
           "    { name = libpipewire-module-client-node }\n"
           "    { name = libpipewire-module-adapter }\n"
           "    { name = libpipewire-module-metadata }\n"
           "    { name = libpipewire-module-protocol-pulse args = { server.address = [ " +
           jsonString("unix:" + socket) + " ] } }\n]\n";
}

}  // namespace

bool PrivatePulseServer::startPipeWire(const std::vector<Device>& devices,
                                       const std::vector<std::string>& env, double timeoutSeconds) {
    writeFileText(dir_ + "/pipewire.conf", daemonConfig(devices));
    writeFileText(dir_ + "/pipewire-pulse.conf", pulseConfig(dir_ + "/native"));
    writeWirePlumberConfig(dir_);

    if (!spawn("pipewire", {"pipewire", "-c", dir_ + "/pipewire.conf"}, env)) return false;
    // Its clients find it by its socket in the runtime folder.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    while (!std::filesystem::exists(dir_ + "/run/pipewire-0")) {
        if (anyExited()) return false;
        if (std::chrono::steady_clock::now() > deadline) {
            failure_ = "pipewire did not start in time";
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return spawn("wireplumber", {"wireplumber", "-c", dir_ + "/wireplumber.conf"}, env) &&
           spawn("pipewire-pulse", {"pipewire-pulse", "-c", dir_ + "/pipewire-pulse.conf"}, env);
}

}  // namespace quill::testing
