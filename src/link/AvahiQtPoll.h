#pragma once

#include <avahi-common/watch.h>

// An AvahiPoll whose watches are QSocketNotifiers and whose timeouts are single-shot QTimers,
// so Avahi's client library runs on the Qt event loop of the thread that uses it (the main
// thread) with no thread or poll loop of its own. The object is static and stateless; every
// watch and timeout it creates lives until Avahi frees it.
const AvahiPoll *qtAvahiPoll();
