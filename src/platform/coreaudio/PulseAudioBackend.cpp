#include "platform/coreaudio/PulseAudioBackend.h"

#include <pulse/pulseaudio.h>
#include <pulse/rtclock.h>

#include <cstring>

namespace quill::platform::coreaudio {

namespace {

uint32_t fnv1a(const std::string& s) {
    uint32_t h = 2166136261u;
    for (unsigned char c : s) {
        h ^= c;
        h *= 16777619u;
    }
    return h;
}

uint32_t transportOf(pa_proplist* props) {
    const char* bus = pa_proplist_gets(props, PA_PROP_DEVICE_BUS);
    const char* form = pa_proplist_gets(props, PA_PROP_DEVICE_FORM_FACTOR);
    const char* cls = pa_proplist_gets(props, PA_PROP_DEVICE_CLASS);
    if ((form && std::strcmp(form, "internal") == 0) || (bus && std::strcmp(bus, "pci") == 0)) {
        return kAudioDeviceTransportTypeBuiltIn;
    }
    if (bus && std::strcmp(bus, "usb") == 0) return kAudioDeviceTransportTypeUSB;
    if (cls && std::strcmp(cls, "abstract") == 0) return kAudioDeviceTransportTypeVirtual;
    return 0;
}

uint32_t portId(const char* port) {
    if (!port) return 0;
    uint32_t h = fnv1a(port);
    return h == 0 ? 1 : h;
}

struct Waiter {
    pa_threaded_mainloop* loop;
};

struct SinkRecord {
    uint32_t index;
    std::string name, description, monitorSource, activePort;
    uint32_t channels, transport;
};
struct SourceRecord {
    uint32_t index;
    std::string name, description, activePort;
    uint32_t channels, transport;
    bool isMonitor;
};

template <class Record>
struct ListResult {
    pa_threaded_mainloop* loop;
    std::vector<Record> records;
};

void sinkListCb(pa_context*, const pa_sink_info* i, int eol, void* userdata) {
    auto* r = static_cast<ListResult<SinkRecord>*>(userdata);
    if (eol || !i) {
        pa_threaded_mainloop_signal(r->loop, 0);
        return;
    }
    r->records.push_back({i->index, i->name ? i->name : "", i->description ? i->description : "",
                          i->monitor_source_name ? i->monitor_source_name : "",
                          i->active_port && i->active_port->name ? i->active_port->name : "",
                          i->sample_spec.channels, transportOf(i->proplist)});
}

void sourceListCb(pa_context*, const pa_source_info* i, int eol, void* userdata) {
    auto* r = static_cast<ListResult<SourceRecord>*>(userdata);
    if (eol || !i) {
        pa_threaded_mainloop_signal(r->loop, 0);
        return;
    }
    r->records.push_back({i->index, i->name ? i->name : "", i->description ? i->description : "",
                          i->active_port && i->active_port->name ? i->active_port->name : "",
                          i->sample_spec.channels, transportOf(i->proplist),
                          i->monitor_of_sink != PA_INVALID_INDEX});
}

struct ServerResult {
    pa_threaded_mainloop* loop;
    std::string sink, source;
};

void serverInfoCb(pa_context*, const pa_server_info* i, void* userdata) {
    auto* r = static_cast<ServerResult*>(userdata);
    if (i) {
        r->sink = i->default_sink_name ? i->default_sink_name : "";
        r->source = i->default_source_name ? i->default_source_name : "";
    }
    pa_threaded_mainloop_signal(r->loop, 0);
}

struct SuccessResult {
    pa_threaded_mainloop* loop;
    int success = 0;
};

void successCb(pa_context*, int success, void* userdata) {
    auto* r = static_cast<SuccessResult*>(userdata);
    r->success = success;
    pa_threaded_mainloop_signal(r->loop, 0);
}

struct IndexResult {
    pa_threaded_mainloop* loop;
    uint32_t index = PA_INVALID_INDEX;
};

void indexCb(pa_context*, uint32_t index, void* userdata) {
    auto* r = static_cast<IndexResult*>(userdata);
    r->index = index;
    pa_threaded_mainloop_signal(r->loop, 0);
}

}  // namespace

// Callbacks that run on the server thread with the main-loop lock held.
struct PulseCallbacks {
    static void state(pa_context*, void* userdata) {
        auto* self = static_cast<PulseAudioBackend*>(userdata);
        pa_threaded_mainloop_signal(self->loop_, 0);
    }
    static void subscription(pa_context*, pa_subscription_event_type_t t, uint32_t index, void* userdata) {
        static_cast<PulseAudioBackend*>(userdata)->onSubscription(static_cast<int>(t), index);
    }
    static void serverChanged(pa_context*, const pa_server_info* i, void* userdata) {
        auto* self = static_cast<PulseAudioBackend*>(userdata);
        if (!i) return;
        std::string sink = i->default_sink_name ? i->default_sink_name : "";
        std::string source = i->default_source_name ? i->default_source_name : "";
        bool outputChanged = sink != self->lastDefaultSink_;
        bool inputChanged = source != self->lastDefaultSource_;
        self->lastDefaultSink_ = sink;
        self->lastDefaultSource_ = source;
        if (outputChanged)
            self->notify(kAudioObjectSystemObject, {kAudioHardwarePropertyDefaultOutputDevice});
        if (inputChanged) self->notify(kAudioObjectSystemObject, {kAudioHardwarePropertyDefaultInputDevice});
    }
    static void sinkChanged(pa_context*, const pa_sink_info* i, int eol, void* userdata) {
        if (eol || !i) return;
        auto* self = static_cast<PulseAudioBackend*>(userdata);
        portChanged(self, "sink", i->name, i->active_port ? i->active_port->name : nullptr,
                    kAudioObjectPropertyScopeOutput);
    }
    static void sourceChanged(pa_context*, const pa_source_info* i, int eol, void* userdata) {
        if (eol || !i || i->monitor_of_sink != PA_INVALID_INDEX) return;
        auto* self = static_cast<PulseAudioBackend*>(userdata);
        portChanged(self, "source", i->name, i->active_port ? i->active_port->name : nullptr,
                    kAudioObjectPropertyScopeInput);
    }
    static void portChanged(PulseAudioBackend* self, const char* kind, const char* name, const char* port,
                            AudioObjectPropertyScope scope) {
        if (!name) return;
        std::string key = std::string(kind) + ":" + name;
        std::string now = port ? port : "";
        auto it = self->activePorts_.find(key);
        bool changed = it != self->activePorts_.end() && it->second != now;
        self->activePorts_[key] = now;
        if (changed)
            self->notify(PulseAudioBackend::idForName(kind, name), {kAudioDevicePropertyDataSource, scope});
    }
    static void timeout(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata) {
        auto* flag = static_cast<std::pair<pa_threaded_mainloop*, bool>*>(userdata);
        flag->second = true;
        pa_threaded_mainloop_signal(flag->first, 0);
    }
};

AudioDeviceID PulseAudioBackend::idForName(const std::string& kind, const std::string& name) {
    uint32_t h = fnv1a(kind + ":" + name);
    return h < 2 ? h + 2 : h;
}

PulseAudioBackend::PulseAudioBackend() = default;

std::shared_ptr<PulseAudioBackend> PulseAudioBackend::connect(double timeoutSeconds) {
    std::shared_ptr<PulseAudioBackend> backend(new PulseAudioBackend());
    if (!backend->start(timeoutSeconds)) return nullptr;
    return backend;
}

bool PulseAudioBackend::start(double timeoutSeconds) {
    loop_ = pa_threaded_mainloop_new();
    if (!loop_) return false;
    context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), "Quillaran");
    if (!context_) return false;
    pa_context_set_state_callback(context_, PulseCallbacks::state, this);
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) return false;
    pa_threaded_mainloop_lock(loop_);
    if (pa_threaded_mainloop_start(loop_) < 0) {
        pa_threaded_mainloop_unlock(loop_);
        return false;
    }
    std::pair<pa_threaded_mainloop*, bool> timedOut{loop_, false};
    pa_time_event* timer =
        pa_context_rttime_new(context_, pa_rtclock_now() + static_cast<pa_usec_t>(timeoutSeconds * 1e6),
                              PulseCallbacks::timeout, &timedOut);
    pa_context_state_t state;
    while ((state = pa_context_get_state(context_)) != PA_CONTEXT_READY && PA_CONTEXT_IS_GOOD(state) &&
           !timedOut.second) {
        pa_threaded_mainloop_wait(loop_);
    }
    if (timer) pa_threaded_mainloop_get_api(loop_)->time_free(timer);
    bool ready = state == PA_CONTEXT_READY;
    if (ready) {
        ServerResult server{loop_};
        runOperation([&] { return pa_context_get_server_info(context_, serverInfoCb, &server); });
        lastDefaultSink_ = server.sink;
        lastDefaultSource_ = server.source;
        ListResult<SinkRecord> sinks{loop_};
        runOperation([&] { return pa_context_get_sink_info_list(context_, sinkListCb, &sinks); });
        for (auto& s : sinks.records)
            activePorts_["sink:" + s.name] = s.activePort;
        ListResult<SourceRecord> sources{loop_};
        runOperation([&] { return pa_context_get_source_info_list(context_, sourceListCb, &sources); });
        for (auto& s : sources.records)
            activePorts_["source:" + s.name] = s.activePort;
        pa_context_set_subscribe_callback(context_, PulseCallbacks::subscription, this);
        SuccessResult subscribed{loop_};
        runOperation([&] {
            return pa_context_subscribe(
                context_,
                static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SINK |
                                                    PA_SUBSCRIPTION_MASK_SOURCE),
                successCb, &subscribed);
        });
    }
    pa_threaded_mainloop_unlock(loop_);
    return ready;
}

PulseAudioBackend::~PulseAudioBackend() {
    if (loop_) {
        pa_threaded_mainloop_lock(loop_);
        if (context_) {
            pa_context_set_subscribe_callback(context_, nullptr, nullptr);
            pa_context_set_state_callback(context_, nullptr, nullptr);
            pa_context_disconnect(context_);
        }
        pa_threaded_mainloop_unlock(loop_);
        pa_threaded_mainloop_stop(loop_);
    }
    if (context_) pa_context_unref(context_);
    if (loop_) pa_threaded_mainloop_free(loop_);
}

// Runs one server operation to its end; the main-loop lock must be held.
template <class Start>
bool PulseAudioBackend::runOperation(Start start) {
    pa_operation* op = start();
    if (!op) return false;
    while (pa_operation_get_state(op) == PA_OPERATION_RUNNING) {
        if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context_))) {
            pa_operation_cancel(op);
            break;
        }
        pa_threaded_mainloop_wait(loop_);
    }
    bool done = pa_operation_get_state(op) == PA_OPERATION_DONE;
    pa_operation_unref(op);
    return done;
}

std::vector<PulseAudioBackend::Entry> PulseAudioBackend::snapshot() {
    std::vector<Entry> out;
    if (pa_threaded_mainloop_in_thread(loop_)) return out;
    ListResult<SinkRecord> sinks{loop_};
    ListResult<SourceRecord> sources{loop_};
    pa_threaded_mainloop_lock(loop_);
    runOperation([&] { return pa_context_get_sink_info_list(context_, sinkListCb, &sinks); });
    runOperation([&] { return pa_context_get_source_info_list(context_, sourceListCb, &sources); });
    pa_threaded_mainloop_unlock(loop_);

    std::string loopbackMonitor;
    for (const SinkRecord& s : sinks.records) {
        Entry e;
        e.description.id = idForName("sink", s.name);
        e.description.name = s.description;
        e.description.outputChannels = s.channels;
        e.description.transportType = s.transport;
        e.description.outputDataSource = s.activePort.empty() ? 0 : portId(s.activePort.c_str());
        e.sinkName = s.name;
        if (s.description == kLoopbackDescription && loopbackMonitor.empty()) {
            // The loopback device records what is played into it: its monitor is its input side.
            e.description.inputChannels = s.channels;
            e.sourceName = s.monitorSource;
            loopbackMonitor = s.monitorSource;
        }
        out.push_back(std::move(e));
    }
    for (const SourceRecord& s : sources.records) {
        if (s.isMonitor) continue;
        Entry e;
        e.description.id = idForName("source", s.name);
        e.description.name = s.description;
        e.description.inputChannels = s.channels;
        e.description.transportType = s.transport;
        e.description.inputDataSource = s.activePort.empty() ? 0 : portId(s.activePort.c_str());
        e.sourceName = s.name;
        out.push_back(std::move(e));
    }
    return out;
}

std::vector<DeviceDescription> PulseAudioBackend::devices() {
    std::vector<DeviceDescription> out;
    for (Entry& e : snapshot())
        out.push_back(std::move(e.description));
    return out;
}

std::pair<std::string, std::string> PulseAudioBackend::serverDefaults() {
    ServerResult server{loop_};
    if (pa_threaded_mainloop_in_thread(loop_)) return {};
    pa_threaded_mainloop_lock(loop_);
    runOperation([&] { return pa_context_get_server_info(context_, serverInfoCb, &server); });
    pa_threaded_mainloop_unlock(loop_);
    return {server.sink, server.source};
}

AudioDeviceID PulseAudioBackend::defaultDevice(bool input) {
    auto [sink, source] = serverDefaults();
    const std::string& want = input ? source : sink;
    if (want.empty()) return 0;
    for (const Entry& e : snapshot()) {
        if ((input ? e.sourceName : e.sinkName) == want) return e.description.id;
    }
    // A default that is not listed (for example another sink's monitor) still has an id.
    return idForName(input ? "source" : "sink", want);
}

std::string PulseAudioBackend::unlistedDeviceName(bool input, AudioDeviceID id) {
    if (pa_threaded_mainloop_in_thread(loop_)) return {};
    ListResult<SinkRecord> sinks{loop_};
    ListResult<SourceRecord> sources{loop_};
    pa_threaded_mainloop_lock(loop_);
    if (input) {
        runOperation([&] { return pa_context_get_source_info_list(context_, sourceListCb, &sources); });
    } else {
        runOperation([&] { return pa_context_get_sink_info_list(context_, sinkListCb, &sinks); });
    }
    pa_threaded_mainloop_unlock(loop_);
    for (const SourceRecord& s : sources.records) {
        if (idForName("source", s.name) == id) return s.name;
    }
    for (const SinkRecord& s : sinks.records) {
        if (idForName("sink", s.name) == id) return s.name;
    }
    return {};
}

OSStatus PulseAudioBackend::setDefaultDevice(bool input, AudioDeviceID id) {
    std::string name;
    for (const Entry& e : snapshot()) {
        if (e.description.id == id) name = input ? e.sourceName : e.sinkName;
    }
    // A default the server chose itself may be no listed device (an output's monitor as the input when
    // no microphone is configured); a saved one of those is put back all the same.
    if (name.empty()) name = unlistedDeviceName(input, id);
    if (name.empty()) return kAudioHardwareBadDeviceError;
    SuccessResult result{loop_};
    if (pa_threaded_mainloop_in_thread(loop_)) return kAudioHardwareIllegalOperationError;
    pa_threaded_mainloop_lock(loop_);
    runOperation([&] {
        return input ? pa_context_set_default_source(context_, name.c_str(), successCb, &result)
                     : pa_context_set_default_sink(context_, name.c_str(), successCb, &result);
    });
    pa_threaded_mainloop_unlock(loop_);
    return result.success ? kAudioHardwareNoError : kAudioHardwareUnspecifiedError;
}

OSStatus PulseAudioBackend::setBufferFrameSize(AudioDeviceID, bool, uint32_t) {
    // The server chooses its own latencies.
    return kAudioHardwareIllegalOperationError;
}

void PulseAudioBackend::setChangeSink(ChangeSink sink) {
    std::lock_guard lock(mutex_);
    sink_ = std::move(sink);
}

void PulseAudioBackend::notify(AudioObjectID object, const AudioObjectPropertyAddress& address) {
    std::lock_guard lock(mutex_);
    if (sink_) sink_(object, address);
}

void PulseAudioBackend::onSubscription(int eventType, uint32_t index) {
    const int facility = eventType & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    const int type = eventType & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
    if (facility == PA_SUBSCRIPTION_EVENT_SERVER) {
        if (pa_operation* op = pa_context_get_server_info(context_, PulseCallbacks::serverChanged, this)) {
            pa_operation_unref(op);
        }
        return;
    }
    if (facility != PA_SUBSCRIPTION_EVENT_SINK && facility != PA_SUBSCRIPTION_EVENT_SOURCE) return;
    if (type == PA_SUBSCRIPTION_EVENT_NEW || type == PA_SUBSCRIPTION_EVENT_REMOVE) {
        notify(kAudioObjectSystemObject, {kAudioHardwarePropertyDevices});
    } else if (type == PA_SUBSCRIPTION_EVENT_CHANGE) {
        pa_operation* op =
            facility == PA_SUBSCRIPTION_EVENT_SINK
                ? pa_context_get_sink_info_by_index(context_, index, PulseCallbacks::sinkChanged, this)
                : pa_context_get_source_info_by_index(context_, index, PulseCallbacks::sourceChanged, this);
        if (op) pa_operation_unref(op);
    }
}

bool PulseAudioBackend::hasLoopbackDevice() {
    for (const Entry& e : snapshot()) {
        if (e.description.name == kLoopbackDescription) return true;
    }
    return false;
}

bool PulseAudioBackend::loadLoopbackDevice() {
    if (hasLoopbackDevice()) return true;
    if (pa_threaded_mainloop_in_thread(loop_)) return false;
    const std::string args = std::string("sink_name=") + kLoopbackSinkName +
                             " sink_properties='device.description=\"" + kLoopbackDescription + "\"'";
    IndexResult result{loop_};
    pa_threaded_mainloop_lock(loop_);
    runOperation(
        [&] { return pa_context_load_module(context_, "module-null-sink", args.c_str(), indexCb, &result); });
    pa_threaded_mainloop_unlock(loop_);
    return result.index != PA_INVALID_INDEX && hasLoopbackDevice();
}

}  // namespace quill::platform::coreaudio
