#include "link/FrameReader.h"

#include <QStringDecoder>

#include <algorithm>
#include <utility>

#include "link/WireProtocol.h"
#include "model/Background.h"

namespace {

constexpr qsizetype kNameLengthSize = 2;

// Strict UTF-8: overlong forms, surrogates, truncated sequences and stray bytes are errors.
// A leading byte-order mark is kept as part of the name rather than silently dropped.
std::optional<QString> decodeUtf8(const QByteArray &bytes)
{
    QStringDecoder decoder(
        QStringDecoder::Utf8, QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

quint32 payloadCap(quint8 type)
{
    return type == wire::kLiveViewFrame ? FrameReader::kMaxLiveViewPayload : FrameReader::kMaxJsonPayload;
}

InboundMessage::Kind kindOf(quint8 type)
{
    return type == wire::kLiveViewFrame ? InboundMessage::Kind::LiveView : InboundMessage::Kind::Json;
}

} // namespace

qint64 FrameReader::wanted() const
{
    if (stopped())
        return 0;
    switch (m_state) {
    case State::Header:
    case State::NameLength:
    case State::Name:
        return qint64(m_fieldSize) - m_field.size();
    case State::Skip:
    case State::Content:
    case State::Payload:
        return qint64(m_remaining);
    }
    return 0;
}

bool FrameReader::atFileContentStart() const
{
    return !stopped() && m_state == State::Content
        && m_remaining == quint64(m_length) - kNameLengthSize - m_nameLength;
}

qsizetype FrameReader::feed(QByteArrayView bytes, std::vector<InboundMessage> &out)
{
    qsizetype taken = 0;
    while (taken < bytes.size() && !stopped()) {
        const qsizetype available = bytes.size() - taken;
        const qsizetype n = qsizetype(std::min<qint64>(available, wanted()));
        const QByteArrayView piece = bytes.sliced(taken, n);
        taken += n;

        switch (m_state) {
        case State::Header:
        case State::NameLength:
        case State::Name:
            m_field.append(piece);
            if (quint64(m_field.size()) == m_fieldSize)
                onFieldComplete(out);
            break;
        case State::Skip:
            m_remaining -= quint64(n);
            if (m_remaining == 0)
                startHeader();
            break;
        case State::Content:
        case State::Payload:
            appendPayload(piece);
            payloadArrived(n, out);
            break;
        }
    }
    return taken;
}

char *FrameReader::payloadSpace(qsizetype n)
{
    if (stopped() || (m_state != State::Content && m_state != State::Payload) || n <= 0
        || quint64(n) > m_remaining)
        return nullptr;
    m_committed = m_payload.size();
    growPayloadFor(m_committed + n);
    m_payload.resize(m_committed + n);
    return m_payload.data() + m_committed;
}

void FrameReader::commitPayload(qsizetype got, std::vector<InboundMessage> &out)
{
    if (stopped() || (m_state != State::Content && m_state != State::Payload))
        return;
    got = std::clamp<qsizetype>(got, 0, m_payload.size() - m_committed);
    m_payload.resize(m_committed + got);
    if (got > 0)
        payloadArrived(got, out);
}

void FrameReader::payloadArrived(qsizetype n, std::vector<InboundMessage> &out)
{
    m_remaining -= quint64(n);
    if (m_remaining != 0)
        return;
    InboundMessage msg;
    msg.type = m_type;
    if (m_state == State::Content) {
        msg.kind = InboundMessage::Kind::File;
        msg.name = std::move(m_name);
    } else {
        msg.kind = kindOf(m_type);
    }
    msg.payload = std::exchange(m_payload, QByteArray());
    out.push_back(std::move(msg));
    startHeader();
}

void FrameReader::finish(std::vector<InboundMessage> &out)
{
    if (stopped())
        return;
    // Only a hello, state or live-view payload is handed on when cut short; a partial header,
    // file frame or skipped frame ends without a message.
    if (m_state == State::Payload) {
        InboundMessage msg;
        msg.kind = kindOf(m_type);
        msg.type = m_type;
        out.push_back(std::move(msg));
    }
    m_stop = Stop::Ended;
    m_field = QByteArray();
    // A photo cut short may be large: it goes behind the window.
    background::release(std::exchange(m_payload, QByteArray()));
    background::release(std::exchange(m_spare, QByteArray()));
}

void FrameReader::startHeader()
{
    m_state = State::Header;
    m_fieldSize = wire::kHeaderSize;
    m_field.clear(); // keeps its few bytes of capacity for the next header
    m_name.clear();
}

void FrameReader::startSkip(quint64 count)
{
    if (count == 0) {
        startHeader();
        return;
    }
    m_state = State::Skip;
    m_remaining = count;
}

void FrameReader::startPayload(quint64 count)
{
    m_remaining = count;
    m_payload = QByteArray();
    // A given-back buffer of about this size is filled again; any other is let go now, so none
    // is kept past the next payload.
    QByteArray spare = std::exchange(m_spare, QByteArray());
    const quint64 room = quint64(spare.capacity());
    if (room >= count / 2 && room <= count + count / 4) {
        spare.resize(0);
        m_payload = std::move(spare);
    } else {
        background::release(std::move(spare));
    }
}

void FrameReader::recycle(QByteArray buffer)
{
    if (!stopped() && buffer.isDetached() && buffer.capacity() <= qsizetype(kMaxLiveViewPayload))
        m_spare = std::move(buffer);
}

void FrameReader::onFieldComplete(std::vector<InboundMessage> &out)
{
    switch (m_state) {
    case State::Header:
        onHeader(out);
        return;
    case State::NameLength: {
        const auto *b = reinterpret_cast<const uchar *>(m_field.constData());
        m_nameLength = quint16(b[0] | (b[1] << 8));
        m_field = QByteArray();
        const quint64 rest = quint64(m_length) - kNameLengthSize;
        if (m_nameLength > rest) {
            // The name would run past the frame into the ones that follow: no file, and the
            // frame's remaining bytes are skipped so the stream stays in step.
            startSkip(rest);
            return;
        }
        if (m_nameLength == 0)
            break; // empty name: straight on to the content
        m_state = State::Name;
        m_fieldSize = m_nameLength;
        return;
    }
    case State::Name: {
        std::optional<QString> name = decodeUtf8(m_field);
        m_field = QByteArray();
        if (!name) {
            m_stop = Stop::BadName;
            return;
        }
        m_name = std::move(*name);
        break;
    }
    case State::Skip:
    case State::Content:
    case State::Payload:
        return;
    }

    // The name is complete (possibly empty): the rest of the frame is the file's content.
    const quint64 content = quint64(m_length) - kNameLengthSize - m_nameLength;
    if (content == 0) {
        startHeader(); // a file frame without content delivers nothing
        return;
    }
    if (content > kMaxFileContent) {
        noteOversized();
        startSkip(content);
        return;
    }
    m_state = State::Content;
    startPayload(content);
}

void FrameReader::onHeader(std::vector<InboundMessage> &out)
{
    const auto *h = reinterpret_cast<const uchar *>(m_field.constData());
    if (h[0] != wire::kMagic0 || h[1] != wire::kMagic1 || h[2] != wire::kVersion) {
        m_stop = Stop::BadHeader;
        m_field = QByteArray();
        return;
    }
    m_type = h[3];
    m_length = quint32(h[4]) | (quint32(h[5]) << 8) | (quint32(h[6]) << 16) | (quint32(h[7]) << 24);

    switch (m_type) {
    case wire::kFileFrame:
        if (m_length < kNameLengthSize) {
            startSkip(m_length);
            return;
        }
        m_state = State::NameLength;
        m_fieldSize = kNameLengthSize;
        m_field.clear();
        return;
    case wire::kHelloFrame:
    case wire::kLiveViewFrame:
    case wire::kStateFrame:
        if (m_length == 0) {
            InboundMessage msg;
            msg.kind = kindOf(m_type);
            msg.type = m_type;
            msg.payload = QByteArray();
            out.push_back(std::move(msg));
            startHeader();
            return;
        }
        if (m_length > payloadCap(m_type)) {
            // Too large to hold whole: its bytes are dropped as they arrive and the stream
            // stays in step for the frames that follow.
            noteOversized();
            startSkip(m_length);
            return;
        }
        m_state = State::Payload;
        startPayload(m_length);
        return;
    default:
        // Types without meaning here, including command frames echoed by a bridge.
        startSkip(m_length);
        return;
    }
}

void FrameReader::noteOversized()
{
    if (m_oversized.count++ == 0) {
        m_oversized.firstType = m_type;
        m_oversized.firstLength = m_length;
    }
}

// Grows the buffer for bytes that arrived, at most doubling what is held and never past the
// declared length, so capacity stays within twice the bytes actually received.
void FrameReader::growPayloadFor(qsizetype needed)
{
    if (needed <= m_payload.capacity())
        return;
    const qsizetype total = m_payload.size() + qsizetype(m_remaining);
    m_payload.reserve(std::min(total, std::max(needed, 2 * m_payload.size())));
}

void FrameReader::appendPayload(QByteArrayView bytes)
{
    growPayloadFor(m_payload.size() + bytes.size());
    m_payload.append(bytes);
}
