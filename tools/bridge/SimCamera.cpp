#include "SimCamera.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>

#include <cstdio>

#include "ImageMaker.h"

SimCamera::SimCamera(int index, const QString &name, const SimOptions &options, QObject *parent)
    : QObject(parent)
    , m_index(index)
    , m_name(name)
    , m_options(options)
    , m_state(index - 1)
{
    connect(&m_socket, &QTcpSocket::connected, this, &SimCamera::onConnected);
    connect(&m_socket, &QTcpSocket::readyRead, this, &SimCamera::onReadyRead);
    connect(&m_socket, &QTcpSocket::disconnected, this, [this] {
        m_liveTimer.stop();
        m_photoTimer.stop();
        if (!m_closed) {
            m_closed = true;
            print(QStringLiteral("closed"));
            emit closed();
        }
    });
    connect(&m_socket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError) {
        print(QStringLiteral("error"), m_socket.errorString());
        if (m_socket.state() != QAbstractSocket::ConnectedState && !m_closed) {
            m_closed = true;
            print(QStringLiteral("closed"));
            emit closed();
        }
    });
    connect(&m_liveTimer, &QTimer::timeout, this, &SimCamera::sendLiveFrame);
    connect(&m_photoTimer, &QTimer::timeout, this, [this] {
        if (m_scheduledSent >= m_options.photos) {
            m_photoTimer.stop();
            return;
        }
        ++m_scheduledSent;
        sendPhoto();
    });
}

SimCamera::~SimCamera()
{
    // The socket closes as it is destroyed: no "closed" for whoever listened then.
    disconnect(&m_socket, nullptr, this, nullptr);
}

const QStringList &SimCamera::malformedKinds()
{
    static const QStringList kinds = {
        QStringLiteral("bad-magic"),     QStringLiteral("bad-version"),   QStringLiteral("short-file"),
        QStringLiteral("name-overrun"),  QStringLiteral("bad-utf8-name"), QStringLiteral("huge-header"),
        QStringLiteral("garbage"),       QStringLiteral("truncated"),     QStringLiteral("unknown-types"),
    };
    return kinds;
}

void SimCamera::connectTo(const QString &host, quint16 port)
{
    m_socket.connectToHost(host, port);
}

void SimCamera::print(const QString &event, const QString &rest) const
{
    const QString line = rest.isEmpty() ? QStringLiteral("%1 %2\n").arg(event).arg(m_index)
                                        : QStringLiteral("%1 %2 %3\n").arg(event).arg(m_index).arg(rest);
    std::fputs(line.toUtf8().constData(), stdout);
    std::fflush(stdout);
}

void SimCamera::write(const QByteArray &bytes)
{
    if (m_socket.state() == QAbstractSocket::ConnectedState)
        m_socket.write(bytes);
}

void SimCamera::onConnected()
{
    m_socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    print(QStringLiteral("connected"), QString::number(m_socket.localPort()));
    if (m_options.sendHello) {
        write(frames::helloFrame(m_name));
        print(QStringLiteral("sent-hello"), m_name);
    }
    if (m_options.sendState)
        sendState();
    if (!m_options.malformed.isEmpty())
        sendMalformed();
    m_greeted = true;
    if (m_silenced)
        return;
    if (m_options.liveFps > 0) {
        m_liveTimer.setTimerType(Qt::PreciseTimer);
        m_liveTimer.start(qMax(1, int(1000.0 / m_options.liveFps)));
    }
    if (m_options.photos > 0)
        m_photoTimer.start(m_options.intervalMs);
}

void SimCamera::onReadyRead()
{
    m_reader.feed(m_socket.readAll());
    for (const QByteArray &json : m_reader.takeCommands())
        handleCommand(json);
}

void SimCamera::handleCommand(const QByteArray &json)
{
    ++m_commands;
    print(QStringLiteral("command"), QString::fromUtf8(json));
    const QJsonObject cmd = QJsonDocument::fromJson(json).object();
    const QString name = cmd.value(QStringLiteral("cmd")).toString();
    if (!m_silenced) {
        if (name == QLatin1String("requestState")) {
            sendState();
        } else if (name == QLatin1String("setParam")) {
            const QString key = cmd.value(QStringLiteral("param")).toString();
            // toInteger keeps integers exact; the vocabulary's values all fit a double anyway.
            const qint64 value = cmd.value(QStringLiteral("value")).toInteger();
            const auto result = m_state.set(key, value);
            const char *outcome = result == CameraState::SetResult::Applied      ? "applied"
                                  : result == CameraState::SetResult::NotAllowed ? "rejected"
                                                                                  : "unknown";
            print(QStringLiteral("param"), QStringLiteral("%1 %2 %3").arg(key).arg(value).arg(QLatin1String(outcome)));
            // A camera reports its state after every attempt, so a rejected value is undone
            // on the application's side too.
            sendState();
        } else if (name == QLatin1String("shutter")) {
            sendPhoto();
        }
    }
    emit commandReceived();
}

void SimCamera::sendState()
{
    write(frames::frame(frames::State, m_state.toJson()));
    print(QStringLiteral("sent-state"));
}

void SimCamera::sendPhoto()
{
    QByteArray name;
    QByteArray content;
    const int number = m_photosSent + 1;
    if (!m_options.folderFiles.isEmpty()) {
        const QString path = m_options.folderFiles.at(m_photosSent % m_options.folderFiles.size());
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            print(QStringLiteral("error"), QStringLiteral("cannot read ") + path);
            return;
        }
        content = file.readAll();
        name = QFileInfo(path).fileName().toUtf8();
    } else if (m_options.prerendered) {
        if (m_photoTemplate.isEmpty()) {
            imagemaker::PhotoInfo info;
            info.size = m_options.photoSize;
            info.cameraModel = m_name;
            info.orientation = m_options.orientation;
            m_photoTemplate = imagemaker::photo(info, m_state);
        }
        // A comment segment right after the start-of-image marker makes the bytes unique.
        const QByteArray tag = QStringLiteral("%1 pid %2 #%3 %4")
                                   .arg(m_name)
                                   .arg(QCoreApplication::applicationPid())
                                   .arg(number)
                                   .arg(QRandomGenerator::global()->generate64())
                                   .toUtf8();
        const int segmentLength = int(tag.size()) + 2;
        content = m_photoTemplate.left(2) + QByteArray("\xff\xfe", 2) + char(segmentLength >> 8)
                  + char(segmentLength & 0xff) + tag + m_photoTemplate.mid(2);
        name = QStringLiteral("IMG_%1.JPG").arg(number, 4, 10, QLatin1Char('0')).toUtf8();
    } else {
        imagemaker::PhotoInfo info;
        info.size = m_options.photoSize;
        info.cameraModel = m_name;
        info.orientation = m_options.orientation;
        info.number = number;
        content = imagemaker::photo(info, m_state);
        name = QStringLiteral("IMG_%1.JPG").arg(number, 4, 10, QLatin1Char('0')).toUtf8();
    }
    write(frames::fileFrame(name, content));
    m_photosSent = number;
    print(QStringLiteral("sent-photo"),
          QStringLiteral("%1 %2 %3")
              .arg(content.size())
              .arg(QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex()))
              .arg(QString::fromUtf8(name)));
    emit photoSent();
}

void SimCamera::sendLiveFrame()
{
    ++m_liveSequence;
    if (m_options.prerendered) {
        constexpr qsizetype kCycle = 8;
        if (m_liveFrames.size() < kCycle)
            m_liveFrames.append(imagemaker::liveFrame(m_options.liveSize, m_liveSequence, m_name));
        write(frames::frame(frames::LiveView, m_liveFrames.at(qsizetype((m_liveSequence - 1) % kCycle))));
    } else {
        write(frames::frame(frames::LiveView, imagemaker::liveFrame(m_options.liveSize, m_liveSequence, m_name)));
    }
    print(QStringLiteral("sent-live"), QString::number(m_liveSequence));
}

void SimCamera::sendMalformed()
{
    const QString &kind = m_options.malformed;
    print(QStringLiteral("malformed"), kind);
    const QByteArray hello = frames::helloFrame(m_name + QStringLiteral(" (after)"));
    const QByteArray helloPayload = hello.mid(frames::kHeaderSize);
    // Most kinds are followed by a valid hello naming the camera "<name> (after)": whether the
    // application applies it shows whether it went on reading after the broken frame.
    bool followWithHello = true;
    if (kind == QLatin1String("bad-magic")) {
        QByteArray h = frames::header(frames::Hello, quint32(helloPayload.size()));
        std::swap(h[0], h[1]);
        write(h + helloPayload);
    } else if (kind == QLatin1String("bad-version")) {
        write(frames::header(frames::Hello, quint32(helloPayload.size()), 2) + helloPayload);
    } else if (kind == QLatin1String("short-file")) {
        write(frames::header(frames::File, 1) + QByteArray(1, 'x'));
        write(frames::header(frames::File, 0));
    } else if (kind == QLatin1String("name-overrun")) {
        // N = 200 while the payload holds only 8 bytes after the length field.
        write(frames::header(frames::File, 10) + QByteArray("\xc8\x00", 2) + QByteArray("abcdefgh"));
    } else if (kind == QLatin1String("bad-utf8-name")) {
        write(frames::fileFrame(QByteArray("\xff\xfe.jpg"), QByteArray("not a photo")));
    } else if (kind == QLatin1String("huge-header")) {
        // Announces 4 GiB − 1 of file and then sends nothing more.
        write(frames::header(frames::File, 0xffffffffu));
        followWithHello = false;
        m_silenced = true;
    } else if (kind == QLatin1String("garbage")) {
        QByteArray junk(4096, Qt::Uninitialized);
        QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(junk.data()), junk.size() / 4);
        junk[0] = 'G'; // never a valid magic by chance
        write(junk);
    } else if (kind == QLatin1String("truncated")) {
        // Half of a file frame, then the connection is closed.
        const QByteArray whole = frames::fileFrame("CUT.JPG", QByteArray(100000, 'c'));
        write(whole.left(whole.size() / 2));
        m_socket.flush();
        m_socket.disconnectFromHost();
        followWithHello = false;
        m_silenced = true;
    } else if (kind == QLatin1String("unknown-types")) {
        for (quint8 type : {quint8(2), quint8(4), quint8(6), quint8(9)})
            write(frames::frame(type, QByteArray(100, char(type))));
    }
    if (followWithHello) {
        write(hello);
        print(QStringLiteral("sent-hello"), m_name + QStringLiteral(" (after)"));
    }
}
