#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QStringList>

#include "QtPrinters.h"

// The file's content, or a marker no expected content matches.
inline QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

// Collects the messages of the halvane.ingest logging category while alive.
class IngestLog
{
public:
    IngestLog() : m_previous(qInstallMessageHandler(&IngestLog::handler)) { s_lines.clear(); }
    ~IngestLog() { qInstallMessageHandler(m_previous); }
    [[nodiscard]] const QStringList &lines() const { return s_lines; }

private:
    static void handler(QtMsgType, const QMessageLogContext &context, const QString &message)
    {
        if (context.category && QLatin1String(context.category) == QLatin1String("halvane.ingest"))
            s_lines << message;
    }
    static inline QStringList s_lines;
    QtMessageHandler m_previous;
};
