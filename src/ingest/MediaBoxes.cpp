#include "ingest/MediaBoxes.h"

#include <QHash>

#include <utility>

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

// Where the data of each item that lies in the file or in the 'idat' begins (its first extent).
using ItemStarts = QHash<quint64, qsizetype>;

// Every extent of an 'iloc' box lies within the file (construction method 0) or within the
// 'idat' box (method 1). Extents made from other items (method 2) are the library's to check.
bool extentsHold(const QByteArray &data, const Box &iloc, const Box *idat, ItemStarts &starts)
{
    const qsizetype idatSize = idat ? idat->size() : 0;
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
        const quint64 id = in.take(version < 2 ? 2 : 4);
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
            if (e == 0 && (method == 0 || idat))
                starts.insert(id, (method == 0 ? 0 : idat->begin) + qsizetype(base + offset));
        }
    }
    return in.ok;
}

// What a 'grid' or 'iovl' item's data declares: the output size, and a grid's rows and columns.
struct Derived {
    quint64 width = 0, height = 0, rows = 1, columns = 1;
};
std::optional<Derived> derivedImage(const QByteArray &data, qsizetype at, quint32 type)
{
    Cursor in{data, at, data.size()};
    in.take(1); // version
    const int field = (in.take(1) & 1) ? 4 : 2;
    Derived image;
    if (type == fourCc("grid")) {
        image.rows = in.take(1) + 1;
        image.columns = in.take(1) + 1;
    } else {
        in.take(8); // the canvas fill colour
    }
    image.width = in.take(field);
    image.height = in.take(field);
    return in.ok ? std::optional(image) : std::nullopt;
}

// The images each item is derived from (its 'dimg' references), in order.
QHash<quint64, QList<quint64>> derivedFrom(const QByteArray &data, const QList<Box> &meta, int &budget)
{
    QHash<quint64, QList<quint64>> from;
    const Box *iref = find(meta, fourCc("iref"));
    const int idSize = iref && iref->size() >= 4 && data[iref->begin] == 0 ? 2 : 4;
    const auto references = iref && iref->size() >= 4 ? children(data, iref->begin + 4, iref->end, budget) : std::nullopt;
    for (const Box &reference : references.value_or(QList<Box>{})) {
        Cursor in{data, reference.begin, reference.end};
        const quint64 id = in.take(idSize), count = in.take(2);
        for (quint64 i = 0; i < count && in.ok && reference.type == fourCc("dimg"); ++i)
            from[id].append(in.take(idSize));
    }
    return from;
}

// Each 'ispe' property (the coded size of an image item) by the items it is associated with.
QHash<quint64, std::pair<quint64, quint64>> codedSizes(const QByteArray &data, const QList<Box> &meta, int &budget)
{
    QHash<quint64, std::pair<quint64, quint64>> sizes;
    const Box *iprp = find(meta, fourCc("iprp"));
    const auto properties = iprp ? children(data, iprp->begin, iprp->end, budget) : std::nullopt;
    const Box *ipco = properties ? find(*properties, fourCc("ipco")) : nullptr;
    const Box *ipma = properties ? find(*properties, fourCc("ipma")) : nullptr;
    const auto list = ipco ? children(data, ipco->begin, ipco->end, budget) : std::nullopt;
    if (!list || !ipma)
        return sizes;
    Cursor in{data, ipma->begin, ipma->end};
    const auto version = in.take(1), flags = in.take(3), entries = in.take(4);
    for (quint64 entry = 0; entry < entries && in.ok; ++entry) {
        const quint64 id = in.take(version < 1 ? 2 : 4), count = in.take(1);
        for (quint64 i = 0; i < count && in.ok; ++i) {
            const qsizetype index = (flags & 1) ? qsizetype(in.take(2) & 0x7fff) : qsizetype(in.take(1) & 0x7f);
            if (index < 1 || index > list->size() || list->at(index - 1).type != fourCc("ispe"))
                continue;
            Cursor ispe{data, list->at(index - 1).begin + 4, list->at(index - 1).end};
            const quint64 width = ispe.take(4), height = ispe.take(4);
            if (ispe.ok)
                sizes.insert(id, {width, height});
        }
    }
    return sizes;
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

// The items of a HEIF 'meta' box: every extent lies within the bytes there, and every image
// derived from others (a grid of tiles, an overlay) declares the output size its 'ispe' gives;
// a grid's tiles, one for each of its cells, also cover that output. Decoders allocate the
// declared output whatever the tiles hold: 958 bytes could otherwise declare 19789² pixels made
// of one 64² tile.
bool itemsHold(const QByteArray &data, const QList<Box> &meta, int &budget)
{
    const Box *iloc = find(meta, fourCc("iloc"));
    ItemStarts starts;
    if (iloc && !extentsHold(data, *iloc, find(meta, fourCc("idat")), starts))
        return false;
    const Box *iinf = find(meta, fourCc("iinf"));
    const auto infos = iinf ? inner(data, *iinf, budget) : QList<Box>{};
    if (!infos)
        return false;
    const auto coded = codedSizes(data, meta, budget);
    const auto tiles = derivedFrom(data, meta, budget);
    for (const Box &infe : *infos) {
        Cursor in{data, infe.begin, infe.end};
        const auto version = in.take(1);
        in.take(3); // flags
        const quint64 id = in.take(version == 2 ? 2 : 4);
        in.take(2); // protection index
        const auto type = quint32(in.take(4));
        if (!in.ok || version < 2 || (type != fourCc("grid") && type != fourCc("iovl")))
            continue;
        const auto output = starts.contains(id) ? derivedImage(data, starts.value(id), type) : std::nullopt;
        if (!output || !coded.contains(id) || std::pair(output->width, output->height) != coded.value(id))
            return false;
        if (type != fourCc("grid"))
            continue;
        const QList<quint64> cells = tiles.value(id);
        if (quint64(cells.size()) != output->rows * output->columns || !coded.contains(cells.first()))
            return false;
        const auto [tileWidth, tileHeight] = coded.value(cells.first());
        if (output->width > output->columns * tileWidth || output->height > output->rows * tileHeight)
            return false;
    }
    return true;
}

bool walk(const QByteArray &data, const QList<Box> &boxes, int depth, int &budget)
{
    if (!boxes.isEmpty() && depth > kMaxDepth)
        return false;
    for (const Box &box : boxes) {
        const auto within = inner(data, box, budget);
        if (!within)
            return false;
        if (box.type == fourCc("meta") && !itemsHold(data, *within, budget))
            return false;
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
