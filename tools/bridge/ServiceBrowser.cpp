#include "ServiceBrowser.h"

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-common/address.h>
#include <avahi-common/error.h>

#include "link/AvahiQtPoll.h"

namespace {

void resolverCallback(AvahiServiceResolver *resolver, AvahiIfIndex, AvahiProtocol, AvahiResolverEvent event,
                      const char *name, const char *, const char *, const char *, const AvahiAddress *address,
                      uint16_t port, AvahiStringList *, AvahiLookupResultFlags, void *self)
{
    auto *browser = static_cast<ServiceBrowser *>(self);
    if (event == AVAHI_RESOLVER_FOUND && address) {
        char text[AVAHI_ADDRESS_STR_MAX];
        avahi_address_snprint(text, sizeof text, address);
        emit browser->resolved(QString::fromUtf8(name), QString::fromLatin1(text), port);
    } else if (event == AVAHI_RESOLVER_FAILURE) {
        emit browser->failed(QStringLiteral("resolving %1: %2").arg(QString::fromUtf8(name),
            QString::fromUtf8(avahi_strerror(avahi_client_errno(avahi_service_resolver_get_client(resolver))))));
    }
    avahi_service_resolver_free(resolver);
}

} // namespace

ServiceBrowser::ServiceBrowser(const QString &serviceType, QObject *parent)
    : QObject(parent)
    , m_type(serviceType.toUtf8())
{
}

ServiceBrowser::~ServiceBrowser()
{
    if (m_client)
        avahi_client_free(m_client); // frees the browser and any resolver with it
}

bool ServiceBrowser::start()
{
    int error = 0;
    auto callback = [](AvahiClient *client, AvahiClientState state, void *self) {
        static_cast<ServiceBrowser *>(self)->onClientState(client, state);
    };
    m_client = avahi_client_new(qtAvahiPoll(), AVAHI_CLIENT_NO_FAIL, callback, this, &error);
    if (!m_client) {
        emit failed(QString::fromUtf8(avahi_strerror(error)));
        return false;
    }
    return true;
}

void ServiceBrowser::onClientState(AvahiClient *client, int state)
{
    if (state == AVAHI_CLIENT_S_RUNNING && !m_browser)
        createBrowser(client);
    else if (state == AVAHI_CLIENT_CONNECTING)
        m_browser = nullptr; // gone with the daemon; browse again when it is back
    else if (state == AVAHI_CLIENT_FAILURE)
        emit failed(QString::fromUtf8(avahi_strerror(avahi_client_errno(client))));
}

void ServiceBrowser::createBrowser(AvahiClient *client)
{
    auto browseCallback = [](AvahiServiceBrowser *avahiBrowser, AvahiIfIndex iface, AvahiProtocol protocol,
                             AvahiBrowserEvent event, const char *name, const char *type,
                             const char *domain, AvahiLookupResultFlags, void *self) {
        auto *browser = static_cast<ServiceBrowser *>(self);
        switch (event) {
        case AVAHI_BROWSER_NEW:
            emit browser->found(QString::fromUtf8(name));
            // IPv4 only: the application listens on every address, and IPv4 always exists.
            avahi_service_resolver_new(avahi_service_browser_get_client(avahiBrowser), iface, protocol, name, type, domain,
                                       AVAHI_PROTO_INET, AvahiLookupFlags(0), resolverCallback, browser);
            break;
        case AVAHI_BROWSER_REMOVE:
            emit browser->removed(QString::fromUtf8(name));
            break;
        case AVAHI_BROWSER_FAILURE:
            emit browser->failed(QStringLiteral("browsing failed"));
            break;
        default:
            break;
        }
    };
    m_browser = avahi_service_browser_new(client, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, m_type.constData(),
                                          nullptr, AvahiLookupFlags(0), browseCallback, this);
    if (!m_browser)
        emit failed(QString::fromUtf8(avahi_strerror(avahi_client_errno(client))));
}
