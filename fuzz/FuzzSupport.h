#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QtGlobal>

#include <cstddef>
#include <cstdint>

// Shared pieces of the fuzz targets: the Qt application object the decoders need, and a way to
// turn a broken invariant into a crash that libFuzzer records.
namespace fuzz {

// Creates the application object once (offscreen, Qt's messages silenced so that the decoders'
// complaints about garbage do not flood the run), with settings and paths in test locations.
void ensureApplication();

// Prints what broke and aborts, so libFuzzer saves the input.
[[noreturn]] void fail(const char *what, const char *file, int line);

// Reads the input front to back; past the end every read yields zero bytes.
class Input
{
public:
    Input(const uint8_t *data, size_t size) : m_bytes(reinterpret_cast<const char *>(data), qsizetype(size)) {}

    [[nodiscard]] bool atEnd() const { return m_pos >= m_bytes.size(); }
    [[nodiscard]] quint8 byte();
    [[nodiscard]] quint16 u16();
    // Up to `n` bytes, fewer when the input runs out.
    [[nodiscard]] QByteArrayView take(qsizetype n);
    [[nodiscard]] QByteArrayView rest();

private:
    QByteArrayView m_bytes;
    qsizetype m_pos = 0;
};

} // namespace fuzz

#define FUZZ_CHECK(cond)                                                                           \
    do {                                                                                           \
        if (!(cond))                                                                               \
            ::fuzz::fail(#cond, __FILE__, __LINE__);                                               \
    } while (false)
