#include <memory>

#include "link/Listener.h"
#include "link/MonitorInbound.h"
#include "link/ServiceAdvertiser.h"
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

    // Bridges find the listener's port through DNS-SD. The Monitor owns the advertiser as a
    // child object; without a running avahi-daemon it waits for one and the listener works
    // regardless.
    auto *advertiser =
        new ServiceAdvertiser(ServiceAdvertiser::workstationServiceName(), m_listener->port(), this);
    advertiser->start();
}
