#include "net/SocketQueue.h"

#include "platform/foundation/SysLog.h"

namespace quill::net {

thread_local const SocketQueue* SocketQueue::CallersThread::current = nullptr;

void SocketQueue::mark(const QueuePtr& q) const {
    sysLog(
        "%s: markSocketQueueTargetQueue refused for queue \"%s\": queues have no target queues, so its "
        "work would not run on the socket queue",
        className_.c_str(), q ? q->label().c_str() : "");
}

void SocketQueue::unmark(const QueuePtr& q) const {
    sysLog("%s: unmarkSocketQueueTargetQueue refused for queue \"%s\": no queue is ever marked",
           className_.c_str(), q ? q->label().c_str() : "");
}

}  // namespace quill::net
