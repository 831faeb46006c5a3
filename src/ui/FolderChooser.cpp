#include "FolderChooser.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingReply>
#include <QGuiApplication>

namespace {

const QString portalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString portalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString requestInterface = QStringLiteral("org.freedesktop.portal.Request");

bool portalOnBus(const QDBusConnection &bus)
{
    if (!bus.isConnected() || !bus.interface())
        return false;
    QDBusConnectionInterface *names = bus.interface();
    return names->isServiceRegistered(portalService).value()
        || names->activatableServiceNames().value().contains(portalService);
}

} // namespace

FolderChooser::~FolderChooser()
{
    stopListening();
}

void FolderChooser::setWindow(QWindow *window)
{
    if (m_window == window)
        return;
    m_window = window;
    emit windowChanged();
}

void FolderChooser::setPortalUsed(bool used)
{
    if (m_portalUsed == used)
        return;
    m_portalUsed = used;
    emit portalUsedChanged();
}

QString FolderChooser::parentWindow() const
{
    if (m_window && QGuiApplication::platformName() == QLatin1String("xcb"))
        return QStringLiteral("x11:") + QString::number(m_window->winId(), 16);
    return {};
}

void FolderChooser::open(const QUrl &startFolder)
{
    // A second request would leave the first dialog open with its answer ignored.
    if (busy())
        return;
    delete m_pending;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!portalOnBus(bus)) {
        fallBack(startFolder);
        return;
    }
    setPortalUsed(true);

    // The portal answers on a request object whose path follows from our unique name and the
    // token we pass; listening before the call means no answer can come too early.
    const QString token = QStringLiteral("halvane%1_%2").arg(QCoreApplication::applicationPid()).arg(++m_requests);
    QString sender = bus.baseService().mid(1);
    sender.replace(QLatin1Char('.'), QLatin1Char('_'));
    listen(QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2").arg(sender, token));

    QByteArray current = startFolder.toLocalFile().toUtf8();
    current.append('\0');
    const QVariantMap options{
        {QStringLiteral("handle_token"), token},
        {QStringLiteral("directory"), true},
        {QStringLiteral("modal"), true},
        {QStringLiteral("accept_label"), QStringLiteral("Usar esta carpeta")},
        {QStringLiteral("current_folder"), current},
    };
    QDBusMessage call = QDBusMessage::createMethodCall(portalService, portalPath,
                                                       QStringLiteral("org.freedesktop.portal.FileChooser"),
                                                       QStringLiteral("OpenFile"));
    call << parentWindow() << QStringLiteral("Elige la carpeta donde se guardarán las fotos entrantes.") << options;
    m_pending = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
    connect(m_pending, &QDBusPendingCallWatcher::finished, this, [this, startFolder](QDBusPendingCallWatcher *w) {
        w->deleteLater();
        const QDBusPendingReply<QDBusObjectPath> reply = *w;
        if (reply.isError()) {
            stopListening();
            fallBack(startFolder);
        } else if (reply.value().path() != m_requestPath) {
            // An older portal that ignores the token: its own path is the one to listen on.
            stopListening();
            listen(reply.value().path());
        }
    });
}

void FolderChooser::listen(const QString &requestPath)
{
    if (!m_portalWatcher) {
        // A portal that goes away never answers: the request ends as cancelled.
        m_portalWatcher = new QDBusServiceWatcher(portalService, QDBusConnection::sessionBus(),
            QDBusServiceWatcher::WatchForUnregistration, this);
        connect(m_portalWatcher, &QDBusServiceWatcher::serviceUnregistered, this, [this] {
            if (!busy())
                return;
            stopListening();
            emit cancelled();
        });
    }
    m_requestPath = requestPath;
    QDBusConnection::sessionBus().connect(portalService, m_requestPath, requestInterface, QStringLiteral("Response"),
                                          this, SLOT(handleResponse(uint, QVariantMap)));
}

void FolderChooser::stopListening()
{
    if (m_requestPath.isEmpty())
        return;
    QDBusConnection::sessionBus().disconnect(portalService, m_requestPath, requestInterface,
                                             QStringLiteral("Response"), this,
                                             SLOT(handleResponse(uint, QVariantMap)));
    m_requestPath.clear();
}

void FolderChooser::fallBack(const QUrl &startFolder)
{
    setPortalUsed(false);
    emit inWindowRequested(startFolder);
}

void FolderChooser::handleResponse(uint response, const QVariantMap &results)
{
    stopListening();
    const QVariant urisValue = results.value(QStringLiteral("uris"));
    const QStringList uris = urisValue.canConvert<QDBusArgument>()
        ? qdbus_cast<QStringList>(urisValue.value<QDBusArgument>())
        : urisValue.toStringList();
    const QUrl folder = uris.isEmpty() ? QUrl() : QUrl(uris.constFirst());
    // 0 is success; 1 (the user cancelled) and 2 (anything else) leave the folder as it was.
    if (response == 0 && folder.isLocalFile())
        emit chosen(folder);
    else
        emit cancelled();
}
