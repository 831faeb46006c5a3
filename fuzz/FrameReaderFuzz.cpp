// The frame reader fed a byte stream in pieces whose sizes the input chooses, checked as it goes
// and against a whole-buffer parser of the wire layout written separately from it.
//
// Input: byte 0 gives the number k (0..15) of split bytes that follow; the split bytes give the
// piece sizes in turn (0 = everything left); the rest is the stream.

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "FuzzSupport.h"
#include "link/FrameReader.h"

namespace {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF, no truncated sequence.
bool isStrictUtf8(QByteArrayView bytes)
{
    qsizetype i = 0;
    while (i < bytes.size()) {
        const auto b0 = quint8(bytes[i]);
        int extra = 0;
        quint32 cp = 0;
        quint32 min = 0;
        if (b0 < 0x80) {
            ++i;
            continue;
        } else if ((b0 & 0xE0) == 0xC0) {
            extra = 1, cp = b0 & 0x1F, min = 0x80;
        } else if ((b0 & 0xF0) == 0xE0) {
            extra = 2, cp = b0 & 0x0F, min = 0x800;
        } else if ((b0 & 0xF8) == 0xF0) {
            extra = 3, cp = b0 & 0x07, min = 0x10000;
        } else {
            return false;
        }
        if (i + extra >= bytes.size())
            return false;
        for (int k = 1; k <= extra; ++k) {
            const auto b = quint8(bytes[i + k]);
            if ((b & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (b & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += extra + 1;
    }
    return true;
}

quint32 le32(QByteArrayView b, qsizetype at)
{
    return quint32(quint8(b[at])) | (quint32(quint8(b[at + 1])) << 8) | (quint32(quint8(b[at + 2])) << 16) |
        (quint32(quint8(b[at + 3])) << 24);
}

struct Parsed {
    std::vector<InboundMessage> messages;
    FrameReader::Stop stop = FrameReader::Stop::Ended;
    qsizetype consumed = 0; // bytes before the stop (all of them when the stream just ends)
    quint64 oversized = 0; // frames over their type's cap, passed over
};

// The wire layout read from a complete buffer by offsets, followed by the end of the connection.
Parsed parseWhole(QByteArrayView s)
{
    Parsed r;
    qsizetype pos = 0;
    auto have = [&](quint64 n) { return quint64(s.size() - pos) >= n; };
    auto stopAt = [&](FrameReader::Stop why, qsizetype at) {
        r.stop = why;
        r.consumed = at;
        return r;
    };
    for (;;) {
        if (!have(8))
            return stopAt(FrameReader::Stop::Ended, s.size());
        if (quint8(s[pos]) != 0x48 || quint8(s[pos + 1]) != 0x56 || quint8(s[pos + 2]) != 1)
            return stopAt(FrameReader::Stop::BadHeader, pos + 8);
        const quint8 type = quint8(s[pos + 3]);
        const quint32 length = le32(s, pos + 4);
        pos += 8;
        if (type == 1) {
            if (length < 2) {
                if (!have(length))
                    return stopAt(FrameReader::Stop::Ended, s.size());
                pos += length;
                continue;
            }
            if (!have(2))
                return stopAt(FrameReader::Stop::Ended, s.size());
            const quint32 n = quint32(quint8(s[pos])) | (quint32(quint8(s[pos + 1])) << 8);
            pos += 2;
            if (n > length - 2) {
                if (!have(length - 2))
                    return stopAt(FrameReader::Stop::Ended, s.size());
                pos += length - 2;
                continue;
            }
            if (!have(n))
                return stopAt(FrameReader::Stop::Ended, s.size());
            const QByteArrayView nameBytes = s.sliced(pos, n);
            pos += n;
            if (!isStrictUtf8(nameBytes))
                return stopAt(FrameReader::Stop::BadName, pos);
            const quint64 content = quint64(length) - 2 - n;
            if (content == 0)
                continue;
            if (content > FrameReader::kMaxFileContent) {
                // Passed over like an oversized payload.
                ++r.oversized;
                if (!have(content))
                    return stopAt(FrameReader::Stop::Ended, s.size());
                pos += qsizetype(content);
                continue;
            }
            if (!have(content))
                return stopAt(FrameReader::Stop::Ended, s.size());
            InboundMessage m;
            m.kind = InboundMessage::Kind::File;
            m.type = 1;
            m.name = QString::fromUtf8(nameBytes.data(), nameBytes.size());
            m.payload = s.sliced(pos, qsizetype(content)).toByteArray();
            pos += qsizetype(content);
            r.messages.push_back(std::move(m));
        } else if (type == 3 || type == 5 || type == 7) {
            InboundMessage m;
            m.kind = type == 5 ? InboundMessage::Kind::LiveView : InboundMessage::Kind::Json;
            m.type = type;
            const quint32 cap = type == 5 ? FrameReader::kMaxLiveViewPayload : FrameReader::kMaxJsonPayload;
            if (length > cap) {
                // Passed over like an unknown type; cut short, it delivers nothing.
                ++r.oversized;
                if (!have(length))
                    return stopAt(FrameReader::Stop::Ended, s.size());
                pos += length;
                continue;
            }
            if (!have(length)) {
                r.messages.push_back(std::move(m)); // cut short: handed on without payload
                return stopAt(FrameReader::Stop::Ended, s.size());
            }
            m.payload = s.sliced(pos, length).toByteArray();
            pos += length;
            r.messages.push_back(std::move(m));
        } else {
            if (!have(length))
                return stopAt(FrameReader::Stop::Ended, s.size());
            pos += length;
        }
    }
}

bool sameMessage(const InboundMessage &a, const InboundMessage &b)
{
    return a.kind == b.kind && a.type == b.type && a.name == b.name && a.payload == b.payload;
}

bool sameMessages(const std::vector<InboundMessage> &a, const std::vector<InboundMessage> &b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (!sameMessage(a[i], b[i]))
            return false;
    }
    return true;
}

// Every message the reader hands on is well formed.
void checkMessages(const std::vector<InboundMessage> &messages)
{
    for (const InboundMessage &m : messages) {
        switch (m.kind) {
        case InboundMessage::Kind::File:
            FUZZ_CHECK(m.type == 1);
            FUZZ_CHECK(m.payload && !m.payload->isEmpty());
            FUZZ_CHECK(m.name.toUtf8().size() <= 0xFFFF);
            break;
        case InboundMessage::Kind::Json:
            FUZZ_CHECK(m.type == 3 || m.type == 7);
            FUZZ_CHECK(m.name.isEmpty());
            FUZZ_CHECK(!m.payload || m.payload->size() <= qsizetype(FrameReader::kMaxJsonPayload));
            break;
        case InboundMessage::Kind::LiveView:
            FUZZ_CHECK(m.type == 5);
            FUZZ_CHECK(m.name.isEmpty());
            FUZZ_CHECK(!m.payload || m.payload->size() <= qsizetype(FrameReader::kMaxLiveViewPayload));
            break;
        }
    }
}

// Bytes the reader may hold beyond twice what it was given: header and name-length fields and
// the allocator's rounding.
constexpr qsizetype kCapacitySlack = 256;

struct Run {
    std::vector<InboundMessage> messages;
    qsizetype taken = 0;
    FrameReader::Stop stop = FrameReader::Stop::None;
    quint64 oversized = 0;
};

// Feeds `stream` in pieces whose sizes come from `splits` in turn (0: everything left), checking
// the reader after every piece, then ends the connection. With `direct`, content and payload
// bytes go in the way the socket loop reads them: into payloadSpace() and then commitPayload(),
// where an odd split size commits only half of the room asked for (a short socket read).
Run feedInPieces(QByteArrayView stream, const std::vector<quint8> &splits, bool direct)
{
    FrameReader reader;
    Run run;
    qsizetype offset = 0;
    size_t turn = 0;
    while (offset < stream.size()) {
        const quint8 s = splits.empty() ? 1 : splits[turn++ % splits.size()];
        const qsizetype n = s == 0 ? stream.size() - offset : std::min<qsizetype>(s, stream.size() - offset);
        const bool wasStopped = reader.stopped();
        const qint64 wantedBefore = reader.wanted();
        const size_t messagesBefore = run.messages.size();
        FUZZ_CHECK(reader.payloadSpace(0) == nullptr);

        qsizetype t = 0;
        qsizetype room = 0;
        char *space = nullptr;
        if (direct && !wasStopped) {
            room = qsizetype(std::min<qint64>(n, wantedBefore));
            space = reader.payloadSpace(room);
            // Asking for more than the field still misses gives no room.
            if (space && wantedBefore < qint64(0x7FFFFFFF))
                FUZZ_CHECK(reader.payloadSpace(qsizetype(wantedBefore) + 1) == nullptr);
        }
        if (space) {
            const qsizetype got = (s & 1) && room > 1 ? room / 2 : room;
            std::memcpy(space, stream.data() + offset, size_t(got));
            reader.commitPayload(got, run.messages);
            t = got;
        } else {
            t = reader.feed(stream.sliced(offset, n), run.messages);
            FUZZ_CHECK(t >= 0 && t <= n);
            FUZZ_CHECK(reader.stopped() || t == n);
        }
        if (wasStopped) {
            FUZZ_CHECK(t == 0);
            FUZZ_CHECK(run.messages.size() == messagesBefore);
        }
        // No message completes before the field being read has all its bytes.
        if (t < wantedBefore)
            FUZZ_CHECK(run.messages.size() == messagesBefore);
        FUZZ_CHECK(reader.stopped() == (reader.wanted() == 0));
        FUZZ_CHECK(reader.wanted() <= qint64(0xFFFFFFFFu));
        run.taken += t;
        FUZZ_CHECK(reader.bufferedCapacity() <= 2 * (run.taken + room) + kCapacitySlack);
        offset += space ? t : n;
    }
    reader.finish(run.messages);
    FUZZ_CHECK(reader.stopped() && reader.wanted() == 0);
    FUZZ_CHECK(reader.bufferedCapacity() == 0);
    FUZZ_CHECK(reader.payloadSpace(1) == nullptr);

    // A reader that reached the end keeps taking nothing.
    std::vector<InboundMessage> after;
    FUZZ_CHECK(reader.feed(stream, after) == 0 && after.empty());
    run.stop = reader.stopReason();
    run.oversized = reader.oversized().count;
    return run;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Input in(data, size);
    std::vector<quint8> splits(in.byte() % 16);
    for (quint8 &s : splits)
        s = in.byte();
    const QByteArrayView stream = in.rest();

    // Whole: one feed of the complete stream.
    FrameReader whole;
    std::vector<InboundMessage> wholeOut;
    const qsizetype wholeTaken = whole.feed(stream, wholeOut);
    FUZZ_CHECK(wholeTaken >= 0 && wholeTaken <= stream.size());
    FUZZ_CHECK(whole.stopped() || wholeTaken == stream.size());
    FUZZ_CHECK(whole.stopped() == (whole.wanted() == 0));
    whole.finish(wholeOut);
    FUZZ_CHECK(whole.stopped() && whole.wanted() == 0);

    checkMessages(wholeOut);
    for (const bool direct : {false, true}) {
        const Run run = feedInPieces(stream, splits, direct);
        FUZZ_CHECK(run.taken == wholeTaken);
        FUZZ_CHECK(run.stop == whole.stopReason());
        FUZZ_CHECK(run.oversized == whole.oversized().count);
        FUZZ_CHECK(sameMessages(run.messages, wholeOut));
    }

    const Parsed expected = parseWhole(stream);
    FUZZ_CHECK(whole.stopReason() == expected.stop);
    FUZZ_CHECK(whole.oversized().count == expected.oversized);
    FUZZ_CHECK(wholeTaken == expected.consumed);
    FUZZ_CHECK(sameMessages(wholeOut, expected.messages));
    return 0;
}
