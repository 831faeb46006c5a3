#pragma once

#include <QByteArray>
#include <QList>

#include <memory>

#include "model/Connection.h"

// A connection that records what is sent on it, for tests without sockets.
class FakeConnection : public Connection
{
public:
    void send(const QByteArray &bytes) override { sent->append(bytes); }

    // Shared so a test can keep reading it after the record took ownership.
    std::shared_ptr<QList<QByteArray>> sent = std::make_shared<QList<QByteArray>>();
};
