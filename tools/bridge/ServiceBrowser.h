#pragma once

#include <QObject>
#include <QString>

struct AvahiClient;
struct AvahiServiceBrowser;

// Finds "_halvane._tcp" services through the Avahi daemon and resolves them to an address and
// port. Waits for the daemon when none is running yet.
class ServiceBrowser : public QObject
{
    Q_OBJECT

public:
    explicit ServiceBrowser(const QString &serviceType, QObject *parent = nullptr);
    ~ServiceBrowser() override;

    ServiceBrowser(const ServiceBrowser &) = delete;
    ServiceBrowser &operator=(const ServiceBrowser &) = delete;

    // Starts browsing; false when the system bus cannot be reached at all.
    bool start();

signals:
    // A service instance appeared (before it is resolved).
    void found(const QString &name);
    void removed(const QString &name);
    void resolved(const QString &name, const QString &host, quint16 port);
    void failed(const QString &why);

private:
    void onClientState(AvahiClient *client, int state);
    void createBrowser(AvahiClient *client);

    QByteArray m_type;
    AvahiClient *m_client = nullptr;
    AvahiServiceBrowser *m_browser = nullptr;
};
