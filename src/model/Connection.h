#pragma once

#include <QByteArray>

// The link to one camera bridge, as a camera record sees it. The camera link supplies the TCP
// implementation; tests supply fakes, so records and state work without sockets.
class Connection
{
public:
    virtual ~Connection() = default;

    // Queues bytes to be sent to the bridge, in order. Fire-and-forget: a dead connection
    // swallows them without any report.
    virtual void send(const QByteArray &bytes) = 0;
};
