#pragma once

#include <memory>

#include "link/InboundHandler.h"

class Monitor;

// The inbound handler of the running application: hands every message a read loop cuts out to
// the Monitor's inbound handling. Holds the Monitor weakly: once it is gone, messages are
// dropped.
[[nodiscard]] std::unique_ptr<InboundHandler> makeMonitorInbound(Monitor &monitor);
