#include "platform/foundation/ThreadName.h"

#include <pthread.h>

namespace quill::platform::foundation {

namespace {

struct CachedName {
    bool known = false;
    std::string name;
};

CachedName& cached() {
    thread_local CachedName name;
    return name;
}

}  // namespace

void setCurrentThreadName(const char* name) {
    pthread_setname_np(pthread_self(), name);
    // What the kernel keeps is what other tools show; remember that, not the longer text asked for.
    char kept[16] = {0};
    auto& c = cached();
    c.name = pthread_getname_np(pthread_self(), kept, sizeof kept) == 0 ? kept : name;
    c.known = true;
}

const std::string& currentThreadName() {
    auto& c = cached();
    if (!c.known) {
        char name[16] = {0};
        if (pthread_getname_np(pthread_self(), name, sizeof name) == 0) c.name = name;
        c.known = true;
    }
    return c.name;
}

}  // namespace quill::platform::foundation
