#include <memory>

#include "link/Listener.h"
#include "link/MonitorInbound.h"
#include "model/Monitor.h"

void Monitor::start()
{
    if (m_listener)
        return;
    auto listener = std::make_unique<Listener>(*this, makeMonitorInbound(*this));
    if (!listener->listen())
        return; // logged; `listening` stays false and a later call tries again
    listener->setParent(this);
    m_listener = listener.release();

    // DNS-SD advertisement of the listener's port goes here.
}
