#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QtGlobal>

#include <optional>
#include <vector>

// One message cut out of a bridge's byte stream.
struct InboundMessage {
    enum class Kind { File, Json, LiveView };

    Kind kind = Kind::File;
    quint8 type = 0; // the frame type: 1 (file), 3 (hello), 5 (live view), 7 (state)
    QString name; // file frames only; may be empty
    // File frames: the content (never empty). Other frames: the payload, empty when the
    // frame's length was 0, std::nullopt when the connection ended before it was complete.
    std::optional<QByteArray> payload;
};

// The camera link's wire protocol as an incremental reader, without sockets: bytes go in, in
// pieces of any size, complete messages come out in arrival order.
//
// Frames are an 8-byte header ("HV", version 1, type, 32-bit little-endian length L) and L
// payload bytes. A header with another magic or version, or a file name that is not valid UTF-8,
// stops the reader: it takes no more bytes, and no later frame of the connection is handled.
//
// Memory: nothing is allocated from a declared length. Buffers grow only as bytes arrive, so a
// header that announces 4 GiB and is followed by a close costs nothing. Every payload is held
// whole before it is handed on, so each has a cap: JSON and live-view payloads small ones, file
// content one far above any photo a camera makes. A payload over its cap is passed over like a
// frame of unknown type, without being kept, and reading goes on with the next frame.
class FrameReader
{
public:
    // Hello and state frames are small JSON objects; 1 MiB is far beyond any real one.
    static constexpr quint32 kMaxJsonPayload = 1u << 20;
    // One encoded live-view still; 16 MiB holds even an uncompressed 2-megapixel frame.
    static constexpr quint32 kMaxLiveViewPayload = 16u << 20;
    // One photo file: the largest raw files of medium-format bodies are a few hundred MB. A
    // photo is held whole in memory once, so this is also what one file may cost.
    static constexpr quint64 kMaxFileContent = quint64(1) << 30;

    enum class Stop {
        None, // still reading
        BadHeader, // wrong magic or version
        BadName, // file name not valid UTF-8
        Ended, // finish() was called: the connection ended
    };

    // Consumes bytes, appending every completed message to `out`. Returns how many bytes were
    // taken: all of them unless the reader stopped, in which case the rest are left untouched.
    qsizetype feed(QByteArrayView bytes, std::vector<InboundMessage> &out);

    // Reading straight into the message being gathered, which saves a copy of every photo byte:
    // while the reader gathers file content or a payload, payloadSpace(n) with 0 < n <= wanted()
    // gives room for n bytes at the end of it; commitPayload(got) then takes the first `got` of
    // them (0 <= got <= n) as if they had been fed. Elsewhere payloadSpace() gives nullptr and
    // the bytes must go through feed().
    [[nodiscard]] char *payloadSpace(qsizetype n);
    void commitPayload(qsizetype got, std::vector<InboundMessage> &out);

    // Gives back the buffer of a message delivered earlier that nobody holds any more (a live-view
    // frame once decoded), to be filled again instead of fresh memory, which costs a page fault
    // for every 4 KiB written. One is kept, at most kMaxLiveViewPayload bytes, and only until the
    // next payload starts: it is used when its capacity is within half to one and a quarter of
    // that payload's length, and let go otherwise.
    void recycle(QByteArray buffer);

    // The connection ended (closed or failed). A hello, state or live-view payload that was cut
    // short is handed on without its payload; a partial file frame is dropped. The reader is
    // stopped afterwards.
    void finish(std::vector<InboundMessage> &out);

    [[nodiscard]] bool stopped() const { return m_stop != Stop::None; }
    [[nodiscard]] Stop stopReason() const { return m_stop; }

    // How many bytes the field being read still misses; 0 once stopped. Feeding no more than
    // this keeps every byte of the following field in the socket.
    [[nodiscard]] qint64 wanted() const;

    // A file frame's header and name are read and none of its content yet: the next byte fed
    // is the photo's first. False once stopped.
    [[nodiscard]] bool atFileContentStart() const;

    // File content of the frame being read gathered so far (0 outside file content).
    [[nodiscard]] qint64 fileContentGathered() const
    {
        return !stopped() && m_state == State::Content ? m_payload.size() : 0;
    }
    [[nodiscard]] bool inFileContent() const { return !stopped() && m_state == State::Content; }

    // Frames passed over for a payload over their cap: how many, and the type and length of the
    // first one.
    struct Oversized {
        quint64 count = 0;
        quint8 firstType = 0;
        quint32 firstLength = 0;
    };
    [[nodiscard]] const Oversized &oversized() const { return m_oversized; }

    // Bytes held for the message being read (for checks that memory follows arrivals; a buffer
    // given back through recycle() is memory held already).
    [[nodiscard]] qsizetype bufferedCapacity() const { return m_field.capacity() + m_payload.capacity(); }

private:
    enum class State {
        Header, // gathering 8 header bytes in m_field
        Skip, // discarding m_remaining bytes
        NameLength, // gathering 2 bytes in m_field
        Name, // gathering m_nameLength bytes in m_field
        Content, // gathering m_remaining file bytes in m_payload
        Payload, // gathering m_remaining hello/state/live-view bytes in m_payload
    };

    void startHeader();
    void startSkip(quint64 count);
    void startPayload(quint64 count);
    void onFieldComplete(std::vector<InboundMessage> &out);
    void onHeader(std::vector<InboundMessage> &out);
    void appendPayload(QByteArrayView bytes);
    void noteOversized();
    void growPayloadFor(qsizetype needed);
    void payloadArrived(qsizetype n, std::vector<InboundMessage> &out);

    State m_state = State::Header;
    Stop m_stop = Stop::None;
    quint8 m_type = 0;
    quint32 m_length = 0; // L of the frame being read
    quint16 m_nameLength = 0; // N of the file frame being read
    quint64 m_fieldSize = 8; // bytes the current m_field must reach (a header first)
    quint64 m_remaining = 0; // Skip, Content, Payload: bytes still to come
    QByteArray m_field; // header, name length or name
    QByteArray m_payload; // file content or message payload
    QByteArray m_spare; // given back by recycle(), for the next payload
    QString m_name;
    qsizetype m_committed = 0; // payload bytes before the room handed out by payloadSpace()
    Oversized m_oversized;
};
