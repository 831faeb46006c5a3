#include "link/ServiceAdvertiser.h"

#include <QFile>
#include <QLoggingCategory>
#include <QSysInfo>

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>


#include "link/AvahiQtPoll.h"
#include "model/Logging.h"

namespace {


// DNS labels, and so DNS-SD instance names, hold at most 63 bytes.
constexpr qsizetype kMaxServiceNameBytes = 63;
// When even the system bus cannot be reached there is no daemon to wait for: try again at
// this pace until it appears.
constexpr int kBusRetryMs = 3000;

const QString kSuffix = QStringLiteral(" (Mac)");

// Cuts `text` to at most `maxBytes` bytes of UTF-8 without splitting a character (nor a
// surrogate pair).
QString cutToUtf8Bytes(const QString &text, qsizetype maxBytes)
{
    QString out;
    qsizetype bytes = 0;
    for (qsizetype i = 0; i < text.size();) {
        const qsizetype step = (text.at(i).isHighSurrogate() && i + 1 < text.size()) ? 2 : 1;
        const qsizetype size = text.mid(i, step).toUtf8().size();
        if (bytes + size > maxBytes)
            break;
        out += text.mid(i, step);
        bytes += size;
        i += step;
    }
    return out;
}

// The value of a shell-style assignment: quoted with '…' (literal) or "…" (backslash escapes),
// or bare up to the first blank.
QString shellValue(const QByteArray &raw)
{
    const QByteArray v = raw.trimmed();
    QByteArray out;
    if (v.startsWith('\'')) {
        const qsizetype end = v.indexOf('\'', 1);
        out = v.mid(1, end < 0 ? -1 : end - 1);
    } else if (v.startsWith('"')) {
        for (qsizetype i = 1; i < v.size() && v.at(i) != '"'; ++i) {
            if (v.at(i) == '\\' && i + 1 < v.size())
                ++i;
            out += v.at(i);
        }
    } else {
        for (qsizetype i = 0; i < v.size() && v.at(i) != ' ' && v.at(i) != '\t'; ++i) {
            if (v.at(i) == '\\' && i + 1 < v.size())
                ++i;
            out += v.at(i);
        }
    }
    return QString::fromUtf8(out);
}

} // namespace

ServiceAdvertiser::ServiceAdvertiser(const QString &name, quint16 port, QObject *parent)
    : QObject(parent)
    , m_requestedName(name)
    , m_port(port)
    , m_name(name)
{
    m_retry.setSingleShot(true);
    m_retry.setInterval(kBusRetryMs);
    connect(&m_retry, &QTimer::timeout, this, &ServiceAdvertiser::createClient);
}

ServiceAdvertiser::~ServiceAdvertiser()
{
    // Freeing the client frees its entry groups and withdraws the service.
    if (m_client)
        avahi_client_free(m_client);
}

QString ServiceAdvertiser::serviceName(const QString &prettyName, const QString &hostName)
{
    QString base = prettyName.trimmed().isEmpty() ? hostName : prettyName;
    if (base.trimmed().isEmpty())
        base = QStringLiteral("Mac");
    return cutToUtf8Bytes(base, kMaxServiceNameBytes - kSuffix.toUtf8().size()) + kSuffix;
}

QString ServiceAdvertiser::prettyHostname(const QByteArray &machineInfo)
{
    QString result;
    for (const QByteArray &line : machineInfo.split('\n')) {
        const QByteArray trimmed = line.trimmed();
        if (!trimmed.startsWith("PRETTY_HOSTNAME="))
            continue;
        // The last assignment wins, as when the file is sourced by a shell.
        result = shellValue(trimmed.mid(int(sizeof("PRETTY_HOSTNAME=")) - 1));
    }
    return result;
}

QString ServiceAdvertiser::workstationServiceName()
{
    QString pretty;
    QFile info(QStringLiteral("/etc/machine-info"));
    if (info.open(QIODevice::ReadOnly))
        pretty = prettyHostname(info.read(64 * 1024));
    return serviceName(pretty, QSysInfo::machineHostName());
}

void ServiceAdvertiser::start()
{
    if (m_started)
        return;
    m_started = true;
    createClient();
}

void ServiceAdvertiser::createClient()
{
    if (m_client)
        return;
    int error = 0;
    // NO_FAIL: when the daemon is not running the client waits for it (state CONNECTING)
    // instead of failing, and follows it through restarts.
    auto callback = [](AvahiClient *client, AvahiClientState state, void *self) {
        static_cast<ServiceAdvertiser *>(self)->onClientState(client, state);
    };
    m_client = avahi_client_new(qtAvahiPoll(), AVAHI_CLIENT_NO_FAIL, callback, this, &error);
    if (!m_client) {
        logUnavailable(QStringLiteral("cannot reach the system bus (%1)")
                           .arg(QString::fromUtf8(avahi_strerror(error))));
        m_retry.start();
    }
}

void ServiceAdvertiser::onClientState(AvahiClient *client, int state)
{
    switch (state) {
    case AVAHI_CLIENT_S_RUNNING:
        m_unavailableLogged = false;
        addService(client);
        break;
    case AVAHI_CLIENT_S_COLLISION:
    case AVAHI_CLIENT_S_REGISTERING:
        // The daemon is (re)registering the host name: our records go with it and are added
        // again once it is running.
        if (m_group)
            avahi_entry_group_reset(m_group);
        setRegisteredName(QString());
        break;
    case AVAHI_CLIENT_CONNECTING:
        // No daemon (yet, or any more): its registrations are gone with it.
        dropGroup();
        setRegisteredName(QString());
        logUnavailable(QStringLiteral("avahi-daemon is not running"));
        break;
    case AVAHI_CLIENT_FAILURE:
    default: {
        // With NO_FAIL this means the bus connection itself broke. The client cannot be freed
        // from inside its own callback: start afresh from the event loop.
        logUnavailable(QString::fromUtf8(avahi_strerror(avahi_client_errno(client))));
        setRegisteredName(QString());
        QTimer::singleShot(0, this, [this] {
            dropGroup();
            if (m_client) {
                avahi_client_free(m_client);
                m_client = nullptr;
            }
            m_retry.start();
        });
        break;
    }
    }
}

void ServiceAdvertiser::addService(AvahiClient *client)
{
    if (!m_group) {
        auto callback = [](AvahiEntryGroup *group, AvahiEntryGroupState state, void *self) {
            static_cast<ServiceAdvertiser *>(self)->onGroupState(group, state);
        };
        m_group = avahi_entry_group_new(client, callback, this);
        if (!m_group) {
            qCWarning(lcLink) << "cannot create the DNS-SD entry group:"
                               << avahi_strerror(avahi_client_errno(client));
            return;
        }
    }
    if (!avahi_entry_group_is_empty(m_group))
        return;

    // A local collision (another service of ours with this name) is reported at once; one on
    // the network arrives later through the group's state.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QByteArray name = m_name.toUtf8();
        // No TXT strings: the list after the port is empty.
        const int rc = avahi_entry_group_add_service(m_group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC,
                                                     AvahiPublishFlags(0), name.constData(),
                                                     m_type.constData(), nullptr, nullptr, m_port, nullptr);
        if (rc == AVAHI_ERR_COLLISION) {
            takeAlternativeName();
            continue;
        }
        if (rc < 0) {
            qCWarning(lcLink) << "cannot add the DNS-SD service" << m_name << ":" << avahi_strerror(rc);
            return;
        }
        const int committed = avahi_entry_group_commit(m_group);
        if (committed < 0)
            qCWarning(lcLink) << "cannot register the DNS-SD service:" << avahi_strerror(committed);
        return;
    }
}

void ServiceAdvertiser::onGroupState(AvahiEntryGroup *group, int state)
{
    switch (state) {
    case AVAHI_ENTRY_GROUP_ESTABLISHED:
        setRegisteredName(m_name);
        break;
    case AVAHI_ENTRY_GROUP_COLLISION:
        // Someone on the network has the name: take Avahi's next alternative and try again.
        takeAlternativeName();
        setRegisteredName(QString());
        avahi_entry_group_reset(group);
        addService(avahi_entry_group_get_client(group));
        break;
    case AVAHI_ENTRY_GROUP_FAILURE:
        qCWarning(lcLink) << "DNS-SD registration failed:"
                           << avahi_strerror(avahi_client_errno(avahi_entry_group_get_client(group)));
        setRegisteredName(QString());
        break;
    default: // uncommitted, registering
        break;
    }
}

void ServiceAdvertiser::takeAlternativeName()
{
    char *alternative = avahi_alternative_service_name(m_name.toUtf8().constData());
    const QString next = QString::fromUtf8(alternative);
    avahi_free(alternative);
    qCInfo(lcLink) << "service name" << m_name << "is taken; trying" << next;
    m_name = next;
}

void ServiceAdvertiser::dropGroup()
{
    if (m_group) {
        avahi_entry_group_free(m_group);
        m_group = nullptr;
    }
}

void ServiceAdvertiser::setRegisteredName(const QString &name)
{
    if (name == m_registeredName)
        return;
    const bool had = !m_registeredName.isEmpty();
    m_registeredName = name;
    if (!name.isEmpty()) {
        qCInfo(lcLink) << "advertising" << name << "on port" << m_port;
        emit registered(name);
    } else if (had) {
        emit withdrawn();
    }
}

void ServiceAdvertiser::logUnavailable(const QString &why)
{
    // Once per outage: a daemon that stays away is not reported again on every retry.
    if (m_unavailableLogged)
        return;
    m_unavailableLogged = true;
    const QString text = QStringLiteral("DNS-SD unavailable (%1); bridges can still connect by "
                                        "address, and the service is advertised once the daemon runs")
                             .arg(why);
    logWarning(lcLink(), text);
}
