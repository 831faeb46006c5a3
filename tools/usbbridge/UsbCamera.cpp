#include "UsbCamera.h"

#include <cstdio>

#include "CameraWorker.h"

namespace usb {

UsbCamera::UsbCamera(CameraBackend &backend, const DetectedCamera &camera, const SessionOptions &options, QObject *parent)
    : QObject(parent)
    , m_camera(camera)
    , m_worker(new CameraWorker(backend, camera, options))
    , m_name(camera.model)
{
    m_worker->moveToThread(&m_thread);
    // Deleted in its own thread as that ends (its timer and the camera belong there).
    connect(&m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
    connect(m_worker, &CameraWorker::opened, this, [this](const QString &serial) {
        m_open = true;
        m_serial = serial;
        say(QStringLiteral("opened"), m_camera.model + (serial.isEmpty() ? QString() : QStringLiteral(" serial=") + serial));
        emit opened();
        connectNow();
    });
    connect(m_worker, &CameraWorker::finished, this, [this] {
        say(QStringLiteral("gone"));
        emit finished();
    });
    connect(m_worker, &CameraWorker::logLine, this, [this](const QString &line) {
        const qsizetype space = line.indexOf(QLatin1Char(' '));
        say(line.left(space), space < 0 ? QString() : line.mid(space + 1));
    });
    connect(m_worker, &CameraWorker::stateFrame, this, [this](const QByteArray &json) {
        write(frames::frame(frames::State, json));
        say(QStringLiteral("sent-state"));
    });
    connect(m_worker, &CameraWorker::fileFrame, this, &UsbCamera::sendFile);
    connect(m_worker, &CameraWorker::liveFrame, this, &UsbCamera::sendLive);

    m_retry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, &UsbCamera::connectNow);
    connect(&m_socket, &QTcpSocket::connected, this, &UsbCamera::onConnected);
    connect(&m_socket, &QTcpSocket::disconnected, this, &UsbCamera::onDisconnected);
    connect(&m_socket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError) {
        // A refused or failed attempt never reaches "disconnected".
        if (m_socket.state() != QAbstractSocket::ConnectedState)
            onDisconnected();
    });
    connect(&m_socket, &QTcpSocket::readyRead, this, &UsbCamera::onReadyRead);
    connect(&m_socket, &QTcpSocket::bytesWritten, this, &UsbCamera::onBytesWritten);

    m_thread.start();
    QMetaObject::invokeMethod(m_worker, &CameraWorker::start, Qt::QueuedConnection);
}

UsbCamera::~UsbCamera()
{
    disconnect(&m_socket, nullptr, this, nullptr);
    m_thread.quit();
    m_thread.wait();
}

void UsbCamera::say(const QString &event, const QString &rest) const
{
    QString line = event + QLatin1Char(' ') + m_camera.port;
    if (!rest.isEmpty())
        line += QLatin1Char(' ') + rest;
    std::fputs((line + QLatin1Char('\n')).toUtf8().constData(), stdout);
    std::fflush(stdout);
}

void UsbCamera::setTarget(const QString &host, quint16 port)
{
    if (host == m_host && port == m_port)
        return;
    m_host = host;
    m_port = port;
    // A new address (the application restarted on another port): go there now, not after
    // the back-off meant for the old one.
    if (!isConnected()) {
        m_retry.stop();
        m_retryMs = kFirstRetryMs;
        connectNow();
    }
}

void UsbCamera::setName(const QString &name)
{
    if (name == m_name)
        return;
    m_name = name;
    if (isConnected()) {
        write(frames::helloFrame(m_name));
        say(QStringLiteral("sent-hello"), m_name);
    }
}

void UsbCamera::connectNow()
{
    if (!m_open || m_host.isEmpty() || m_socket.state() != QAbstractSocket::UnconnectedState)
        return;
    m_socket.connectToHost(m_host, m_port);
}

void UsbCamera::onConnected()
{
    m_socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_socket.setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    m_retryMs = kFirstRetryMs;
    m_up = true;
    m_reader = frames::CommandReader();
    m_queued = m_written = 0;
    m_fileEnd = -1;
    say(QStringLiteral("connected"), QStringLiteral("%1:%2").arg(m_host).arg(m_port));
    write(frames::helloFrame(m_name));
    say(QStringLiteral("sent-hello"), m_name);
    QMetaObject::invokeMethod(m_worker, &CameraWorker::requestState, Qt::QueuedConnection);
    QMetaObject::invokeMethod(m_worker, "setLinkReady", Qt::QueuedConnection, Q_ARG(bool, true));
}

void UsbCamera::onDisconnected()
{
    if (m_retry.isActive())
        return;
    if (m_up)
        say(QStringLiteral("closed"));
    m_up = false;
    m_queued = m_written = 0;
    m_fileEnd = -1;
    QMetaObject::invokeMethod(m_worker, "setLinkReady", Qt::QueuedConnection, Q_ARG(bool, false));
    m_socket.abort();
    m_retry.start(m_retryMs);
    m_retryMs = qMin(m_retryMs * 2, kLastRetryMs);
    emit linkLost();
}

void UsbCamera::onReadyRead()
{
    m_reader.feed(m_socket.readAll());
    if (m_reader.broken()) {
        say(QStringLiteral("error"), QStringLiteral("the application sent a broken frame; reconnecting"));
        m_socket.abort();
        onDisconnected();
        return;
    }
    for (const QByteArray &json : m_reader.takeCommands()) {
        say(QStringLiteral("command"), QString::fromUtf8(json.left(500)));
        QMetaObject::invokeMethod(m_worker, "command", Qt::QueuedConnection, Q_ARG(QByteArray, json));
    }
}

void UsbCamera::write(const QByteArray &bytes)
{
    if (!isConnected())
        return;
    m_socket.write(bytes);
    m_queued += bytes.size();
}

void UsbCamera::onBytesWritten(qint64 bytes)
{
    m_written += bytes;
    if (m_fileEnd >= 0 && m_written >= m_fileEnd) {
        m_fileEnd = -1;
        QMetaObject::invokeMethod(m_worker, &CameraWorker::delivered, Qt::QueuedConnection);
    }
}

void UsbCamera::sendFile(const QByteArray &name, const QByteArray &content)
{
    if (!isConnected()) {
        // The link dropped while the photo was on its way here: the worker has put it back.
        return;
    }
    write(frames::fileFrame(name, content));
    m_fileEnd = m_queued;
    say(QStringLiteral("sent-photo"), QStringLiteral("%1 %2").arg(content.size()).arg(QString::fromUtf8(name)));
}

void UsbCamera::sendLive(const QByteArray &jpeg)
{
    if (!isConnected() || m_fileEnd >= 0 || m_socket.bytesToWrite() > kLiveBacklogBytes || jpeg.size() > kMaxLiveBytes)
        return;
    write(frames::frame(frames::LiveView, jpeg));
}

} // namespace usb
