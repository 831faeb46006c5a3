#include "model/Logging.h"

#include <syslog.h>

Q_LOGGING_CATEGORY(lcLink, "halvane.link", QtInfoMsg)
Q_LOGGING_CATEGORY(lcIngest, "halvane.ingest", QtInfoMsg)
Q_LOGGING_CATEGORY(lcUi, "halvane.ui", QtInfoMsg)
Q_LOGGING_CATEGORY(lcShare, "halvane.share", QtInfoMsg)

void logWarning(const QLoggingCategory &category, const QString &line)
{
    qCWarning(category).noquote() << line;
    syslog(LOG_WARNING, "%s", line.toUtf8().constData());
}
