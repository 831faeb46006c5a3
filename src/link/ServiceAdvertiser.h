#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

struct AvahiClient;
struct AvahiEntryGroup;

// Advertises the camera listener as a DNS-SD service of type "_halvane._tcp" (or another
// service of this workstation under a type of its own) through the Avahi daemon, on the main
// thread's event loop.
//
// The listener does not depend on it: when no daemon is running at start the situation is
// logged once and the service is registered as soon as a daemon appears; a daemon that
// restarts gets the service again; a name already taken on the network is replaced by Avahi's
// alternative ("Name #2"), which is what registeredName() then reports.
class ServiceAdvertiser : public QObject
{
    Q_OBJECT

public:
    static constexpr const char *kServiceType = "_halvane._tcp";

    ServiceAdvertiser(const QString &name, quint16 port, QObject *parent = nullptr);
    ~ServiceAdvertiser() override;

    ServiceAdvertiser(const ServiceAdvertiser &) = delete;
    ServiceAdvertiser &operator=(const ServiceAdvertiser &) = delete;

    // Another service type than the camera listener's (before start()).
    void setServiceType(const QByteArray &type) { m_type = type; }

    // Connects to the daemon (or waits for one) and registers the service. Once only.
    void start();

    // The name asked for at construction.
    [[nodiscard]] QString requestedName() const { return m_requestedName; }
    // The name under which the service is currently registered; empty while it is not.
    [[nodiscard]] QString registeredName() const { return m_registeredName; }
    [[nodiscard]] bool isRegistered() const { return !m_registeredName.isEmpty(); }
    [[nodiscard]] quint16 port() const { return m_port; }

    // The service name for a workstation: its pretty name when it has one, else its host name,
    // else "Mac", followed by " (Mac)". A DNS-SD instance name holds at most 63 bytes of UTF-8,
    // so a longer base name is cut (at a character boundary) to make the whole name fit.
    [[nodiscard]] static QString serviceName(const QString &prettyName, const QString &hostName);
    // PRETTY_HOSTNAME from the text of an /etc/machine-info file (shell-style assignments);
    // empty when the text has none.
    [[nodiscard]] static QString prettyHostname(const QByteArray &machineInfo);
    // serviceName() of this machine: /etc/machine-info and the kernel's host name.
    [[nodiscard]] static QString workstationServiceName();

signals:
    // The service is registered under `name` (after start, after a daemon (re)appears, after a
    // collision was resolved).
    void registered(const QString &name);
    // A registration went away because the daemon stopped or the host name changed.
    void withdrawn();

private:
    void createClient();
    void onClientState(AvahiClient *client, int state);
    void onGroupState(AvahiEntryGroup *group, int state);
    void addService(AvahiClient *client);
    void takeAlternativeName();
    void dropGroup();
    void setRegisteredName(const QString &name);
    void logUnavailable(const QString &why);

    const QString m_requestedName;
    const quint16 m_port;
    QByteArray m_type = kServiceType;
    QString m_name; // the name being registered (after collisions, an alternative)
    QString m_registeredName;
    AvahiClient *m_client = nullptr;
    AvahiEntryGroup *m_group = nullptr;
    QTimer m_retry; // re-creates the client when the system bus itself was unreachable
    bool m_started = false;
    bool m_unavailableLogged = false;
};
