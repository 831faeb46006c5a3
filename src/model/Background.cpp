#include "model/Background.h"

#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

namespace background {

void yieldToWindow(int niceness)
{
    thread_local int applied = -1;
    if (applied == niceness)
        return;
    applied = niceness;
    sched_param param{};
    param.sched_priority = 0;
    ::sched_setscheduler(0, SCHED_BATCH, &param);
    // On Linux the nice value belongs to the thread, not the process.
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), niceness);
}

} // namespace background
