#include "ingest/MediaBoxes.h"

namespace MediaBoxes {

namespace {

// Item extents read from one 'iloc' at most. A 100 MP HEIF grid has a few hundred items of one
// extent each; the bound keeps a table of empty extents (all field sizes 0) from spinning.
constexpr qint64 kMaxExtents = 65536;

// The box that holds a CR3 file's metadata boxes (CMT1..CMT4, THMB) inside 'moov'.
const QByteArray kCr3MetadataUuid = QByteArray::fromHex("85c0b687820f11e08111f4ce462b6a48");

// Big-endian fields read front to back; any read past `end` fails the whole reader.
struct Cursor {
    const QByteArray &data;
    qsizetype at;
    qsizetype end;
    bool ok = true;

    quint64 take(int bytes)
    {
        if (!ok || bytes > end - at) {
            ok = false;
            return 0;
        }
        quint64 value = 0;
        for (int i = 0; i < bytes; ++i)
            value = value << 8 | quint8(data[at++]);
        return value;
    }
};

const Box *find(const QList<Box> &boxes, quint32 type, const QByteArray &uuid = {})
{
    for (const Box &box : boxes)
        if (box.type == type && box.uuid == uuid)
            return &box;
    return nullptr;
}

// Every extent of an 'iloc' box lies within the file (construction method 0) or within the
// 'idat' box (method 1). Extents made from other items (method 2) are the library's to check.
bool extentsHold(const QByteArray &data, const Box &iloc, qsizetype idatSize)
{
    Cursor in{data, iloc.begin, iloc.end};
    const auto version = int(in.take(1));
    in.take(3); // flags
    const auto sizes = in.take(1), more = in.take(1);
    const int offsetSize = int(sizes >> 4), lengthSize = int(sizes & 15), baseSize = int(more >> 4);
    const int indexSize = version == 1 || version == 2 ? int(more & 15) : 0;
    for (const int size : {offsetSize, lengthSize, baseSize, indexSize})
        if (size != 0 && size != 4 && size != 8)
            return false;
    if (version > 2)
        return false;
    const quint64 items = in.take(version < 2 ? 2 : 4);
    qint64 extents = 0;
    for (quint64 item = 0; item < items && in.ok; ++item) {
        in.take(version < 2 ? 2 : 4); // item ID
        const quint64 method = version == 1 || version == 2 ? in.take(2) & 15 : 0;
        in.take(2); // data reference index
        const quint64 base = in.take(baseSize);
        const quint64 count = in.take(2);
        extents += qint64(count);
        if (extents > kMaxExtents)
            return false;
        const quint64 limit = method == 0 ? quint64(data.size()) : quint64(idatSize);
        for (quint64 e = 0; e < count && in.ok; ++e) {
            in.take(indexSize);
            const quint64 offset = in.take(offsetSize), length = in.take(lengthSize);
            if (method > 1)
                continue;
            // Length 0 means "to the end": only the start has to be there.
            if (base > limit || offset > limit - base || length > limit - base - offset)
                return false;
        }
    }
    return in.ok;
}

// The boxes inside `box` when it is a container this walk knows, else an empty list. 'meta' is
// a full box (four bytes of version and flags come first); 'iinf' also counts its entries first.
std::optional<QList<Box>> inner(const QByteArray &data, const Box &box, int &budget)
{
    switch (box.type) {
    case fourCc("moov"):
    case fourCc("trak"):
    case fourCc("mdia"):
    case fourCc("minf"):
    case fourCc("stbl"):
    case fourCc("iprp"):
    case fourCc("ipco"):
        return children(data, box.begin, box.end, budget);
    case fourCc("meta"):
        return box.size() < 4 ? std::nullopt : children(data, box.begin + 4, box.end, budget);
    case fourCc("iinf"): {
        if (box.size() < 6)
            return std::nullopt;
        const qsizetype countSize = data[box.begin] == 0 ? 2 : 4;
        return children(data, box.begin + 4 + countSize, box.end, budget);
    }
    case fourCc("uuid"):
        if (box.uuid == kCr3MetadataUuid)
            return children(data, box.begin, box.end, budget);
        break;
    default:
        break;
    }
    return QList<Box>{};
}

bool walk(const QByteArray &data, const QList<Box> &boxes, int depth, int &budget)
{
    if (!boxes.isEmpty() && depth > kMaxDepth)
        return false;
    for (const Box &box : boxes) {
        const auto within = inner(data, box, budget);
        if (!within)
            return false;
        if (box.type == fourCc("meta")) {
            const Box *idat = find(*within, fourCc("idat"));
            const Box *iloc = find(*within, fourCc("iloc"));
            if (iloc && !extentsHold(data, *iloc, idat ? idat->size() : 0))
                return false;
        }
        if (!walk(data, *within, depth + 1, budget))
            return false;
    }
    return true;
}

} // namespace

std::optional<QList<Box>> children(const QByteArray &data, qsizetype begin, qsizetype end, int &budget)
{
    QList<Box> boxes;
    Cursor in{data, begin, end};
    while (in.at < end) {
        if (--budget < 0)
            return std::nullopt;
        const qsizetype start = in.at;
        quint64 size = in.take(4);
        Box box;
        box.type = quint32(in.take(4));
        if (size == 1)
            size = in.take(8);
        else if (size == 0)
            size = quint64(end - start); // to the end of what holds it
        if (box.type == fourCc("uuid") && in.ok) {
            if (end - in.at < 16)
                return std::nullopt;
            box.uuid = data.mid(in.at, 16);
            in.at += 16;
        }
        const qsizetype header = in.at - start;
        if (!in.ok || size < quint64(header) || size > quint64(end - start))
            return std::nullopt;
        box.begin = in.at;
        box.end = start + qsizetype(size);
        in.at = box.end;
        boxes.append(box);
    }
    return boxes;
}

bool sizesHold(const QByteArray &data)
{
    int budget = kMaxBoxes;
    const auto top = children(data, 0, data.size(), budget);
    return top && walk(data, *top, 1, budget);
}

std::optional<TiffBlocks> cr3Exif(const QByteArray &data)
{
    int budget = kMaxBoxes;
    const auto top = children(data, 0, data.size(), budget);
    const Box *moov = top ? find(*top, fourCc("moov")) : nullptr;
    const auto inMoov = moov ? children(data, moov->begin, moov->end, budget) : std::nullopt;
    const Box *canon = inMoov ? find(*inMoov, fourCc("uuid"), kCr3MetadataUuid) : nullptr;
    const auto blocks = canon ? children(data, canon->begin, canon->end, budget) : std::nullopt;
    if (!blocks)
        return std::nullopt;
    TiffBlocks exif;
    if (const Box *cmt1 = find(*blocks, fourCc("CMT1")))
        exif.ifd0 = data.mid(cmt1->begin, cmt1->size());
    if (const Box *cmt2 = find(*blocks, fourCc("CMT2")))
        exif.exifIfd = data.mid(cmt2->begin, cmt2->size());
    if (exif.ifd0.isEmpty() && exif.exifIfd.isEmpty())
        return std::nullopt;
    return exif;
}

} // namespace MediaBoxes
