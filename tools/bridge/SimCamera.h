#pragma once

#include <QObject>
#include <QSize>
#include <QStringList>
#include <QTcpSocket>
#include <QTimer>

#include "CameraState.h"
#include "Frames.h"

// What every simulated camera of one run does.
struct SimOptions
{
    bool sendHello = true;
    bool sendState = true;
    double liveFps = 0; // 0: no live view
    QSize liveSize{1280, 853};
    int photos = 0; // photos sent on their own, one per interval
    int intervalMs = 1000;
    QSize photoSize{3000, 2000};
    int orientation = 1;
    QStringList folderFiles; // when set, photos are these files, in turn
    QString malformed;       // a kind of broken frame to send after the greeting
    // Render one photo and a few live frames once and reuse them; each photo is still unique
    // (a JPEG comment names camera, process and number). For load tests on small machines.
    bool prerendered = false;
};

// One simulated camera: its own TCP connection to the application, its own name and state.
// It greets (hello, state), streams live view and photos as configured, and answers the
// application's commands: "requestState" with a state frame, "setParam" by changing its state
// and sending a state frame, "shutter" with a new photo. Every event is printed to stdout as
// one line, starting with a keyword and the camera's number; commands are printed exactly as
// received.
class SimCamera : public QObject
{
    Q_OBJECT

public:
    SimCamera(int index, const QString &name, const SimOptions &options, QObject *parent = nullptr);
    ~SimCamera() override;

    void connectTo(const QString &host, quint16 port);

    [[nodiscard]] int photosSent() const { return m_photosSent; }
    [[nodiscard]] int commandsReceived() const { return m_commands; }
    // True once connected and everything queued has been handed to the kernel.
    [[nodiscard]] bool flushed() const { return m_greeted && m_socket.bytesToWrite() == 0; }
    [[nodiscard]] bool isClosed() const { return m_closed; }

    // The malformed kinds that sendMalformed() knows.
    static const QStringList &malformedKinds();

signals:
    void photoSent();
    void commandReceived();
    void closed();

private:
    void onConnected();
    void onReadyRead();
    void handleCommand(const QByteArray &json);
    void sendState();
    void sendPhoto();
    void sendLiveFrame();
    void sendMalformed();
    void write(const QByteArray &bytes);
    void print(const QString &event, const QString &rest = QString()) const;

    const int m_index;
    const QString m_name;
    const SimOptions m_options;
    CameraState m_state;
    QTcpSocket m_socket;
    frames::CommandReader m_reader;
    QTimer m_liveTimer;
    QTimer m_photoTimer;
    qint64 m_liveSequence = 0;
    int m_photosSent = 0;
    int m_scheduledSent = 0;
    int m_commands = 0;
    bool m_greeted = false;
    bool m_closed = false;
    bool m_silenced = false; // after a malformed kind that ends the conversation
    QByteArray m_photoTemplate; // prerendered: the one rendered photo
    QList<QByteArray> m_liveFrames; // prerendered: the frames cycled through
};
