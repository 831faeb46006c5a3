#include "FuzzSupport.h"

#include <QGuiApplication>
#include <QStandardPaths>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace fuzz {

namespace {

void silence(QtMsgType, const QMessageLogContext &, const QString &) {}

} // namespace

void ensureApplication()
{
    if (QCoreApplication::instance())
        return;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QStandardPaths::setTestModeEnabled(true);
    qInstallMessageHandler(silence);
    static int argc = 1;
    static char name[] = "halvane-fuzz";
    static char *argv[] = {name, nullptr};
    // Lives for the whole process: the targets run until libFuzzer exits.
    new QGuiApplication(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("halvane-fuzz"));
    QCoreApplication::setApplicationName(QStringLiteral("halvane-fuzz"));
}

void fail(const char *what, const char *file, int line)
{
    std::fprintf(stderr, "fuzz invariant broken: %s (%s:%d)\n", what, file, line);
    std::fflush(stderr);
    std::abort();
}

quint8 Input::byte()
{
    return atEnd() ? 0 : quint8(m_bytes[m_pos++]);
}

quint16 Input::u16()
{
    const quint16 lo = byte();
    return quint16(lo | (quint16(byte()) << 8));
}

QByteArrayView Input::take(qsizetype n)
{
    const qsizetype count = std::min(n, m_bytes.size() - std::min(m_pos, m_bytes.size()));
    const QByteArrayView piece = m_bytes.sliced(m_pos, count);
    m_pos += count;
    return piece;
}

QByteArrayView Input::rest()
{
    return take(m_bytes.size());
}

} // namespace fuzz
