#include "model/CameraConnection.h"

CameraConnection::CameraConnection(std::unique_ptr<Connection> conn)
    : m_conn(std::move(conn))
{
}
