#pragma once

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include "QtPrinters.h"

// The file's content, or a marker no expected content matches.
inline QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

// The messages of the halvane.ingest logging category while alive.
struct IngestLog {
    static inline QStringList lines;
    QtMessageHandler previous = (lines.clear(),
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext &c, const QString &m) {
            if (qstrcmp(c.category, "halvane.ingest") == 0)
                lines << m;
        }));
    ~IngestLog() { qInstallMessageHandler(previous); }
};
