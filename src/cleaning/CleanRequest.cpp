#include "cleaning/CleanRequest.h"

#include <QSet>
#include <QtEndian>

#include <algorithm>

namespace {

const QByteArray kMagic = QByteArrayLiteral("sweepbrook-clean-request 4");

char kindLetter(ItemKind kind)
{
    switch (kind) {
    case ItemKind::file:
        return 'f';
    case ItemKind::folder:
        return 'd';
    case ItemKind::link:
        return 'l';
    case ItemKind::unknown:
        break;
    }
    return '?';
}

std::optional<ItemKind> kindFromLetter(QByteArrayView letter)
{
    if (letter == "f")
        return ItemKind::file;
    if (letter == "d")
        return ItemKind::folder;
    if (letter == "l")
        return ItemKind::link;
    return std::nullopt;
}

void field(QByteArray &out, const QByteArray &value)
{
    out += value;
    out += '\0';
}

// Numbers many enough to need it (one for every file the scan met) go as
// one field: eight bytes each, least significant first, in base64.
QByteArray packed(const std::vector<quint64> &numbers)
{
    QByteArray bytes(qsizetype(numbers.size()) * 8, Qt::Uninitialized);
    for (size_t i = 0; i < numbers.size(); ++i)
        qToLittleEndian(numbers[i], bytes.data() + i * 8);
    return bytes.toBase64();
}

// Nothing unless `text` is exactly `count` packed numbers. Read a piece at a
// time (three numbers are 32 characters), so only the numbers take memory.
std::optional<std::vector<quint64>> unpacked(QByteArrayView text, quint64 count)
{
    if (quint64(text.size()) != (count * 8 + 2) / 3 * 4)
        return std::nullopt;
    constexpr qsizetype kPiece = 32 * 2048;
    std::vector<quint64> numbers;
    numbers.reserve(count);
    for (qsizetype at = 0; at < text.size(); at += kPiece) {
        const QByteArrayView piece = text.sliced(at, std::min(kPiece, text.size() - at));
        const QByteArray::FromBase64Result bytes = QByteArray::fromBase64Encoding(
            QByteArray::fromRawData(piece.data(), piece.size()), QByteArray::AbortOnBase64DecodingErrors);
        if (!bytes || bytes.decoded.size() % 8 != 0)
            return std::nullopt;
        for (qsizetype i = 0; i < bytes.decoded.size(); i += 8)
            numbers.push_back(qFromLittleEndian<quint64>(bytes.decoded.constData() + i));
    }
    if (numbers.size() != count)
        return std::nullopt;
    return numbers;
}

} // namespace

FileItem CleanRequest::Item::identity() const
{
    FileItem item;
    item.kind = kind;
    item.device = device;
    item.inode = inode;
    item.size = size;
    item.modified = modified;
    return item;
}

bool CleanRequest::Item::withinPathLimits() const
{
    return relative.size() <= kMaxPathBytes && relative.count('/') < kMaxComponents;
}

QByteArray CleanRequest::encode() const
{
    QByteArray out;
    field(out, kMagic);
    field(out, root);
    field(out, QByteArray::number(device));
    field(out, QByteArray::number(rootInode));
    field(out, QByteArray::number(customExtensions.size()));
    for (const QString &extension : customExtensions)
        field(out, extension.toUtf8());
    field(out, QByteArray::number(items.size()));
    for (const Item &item : items) {
        field(out, item.relative);
        field(out, QByteArray(1, kindLetter(item.kind)));
        field(out, QByteArray::number(item.device));
        field(out, QByteArray::number(item.inode));
        field(out, QByteArray::number(item.size));
        field(out, QByteArray::number(item.modified));
    }
    field(out, QByteArray::number(scannedFolders.device));
    for (const std::vector<quint64> *numbers : {&scannedFolders.inodes, &scannedFolders.listings}) {
        field(out, QByteArray::number(qulonglong(numbers->size())));
        for (const quint64 number : *numbers)
            field(out, QByteArray::number(number));
    }
    field(out, QByteArray::number(qulonglong(scannedFolders.folderCount())));
    for (size_t i = 0; i < scannedFolders.folderCount(); ++i)
        field(out, QByteArray(scannedFolders.folder(i)));
    field(out, QByteArray::number(qulonglong(scannedFolders.files.size())));
    field(out, packed(scannedFolders.files));
    return out;
}

std::optional<CleanRequest> CleanRequest::decode(const QByteArray &input, QString *error)
{
    const auto fail = [error](const QString &why) -> std::optional<CleanRequest> {
        if (error)
            *error = why;
        return std::nullopt;
    };
    if (input.size() > kMaxBytes)
        return fail(QStringLiteral("the request is larger than %1 bytes").arg(kMaxBytes));
    if (!input.endsWith('\0'))
        return fail(QStringLiteral("the request does not end with a NUL byte"));

    // Fields are read in place, one after the other: nothing is allocated
    // for a field before it is known to fit.
    qsizetype at = 0;
    const auto next = [&input, &at](QByteArrayView &value) {
        const qsizetype end = at < input.size() ? input.indexOf('\0', at) : -1;
        if (end < 0)
            return false;
        value = QByteArrayView(input).sliced(at, end - at);
        at = end + 1;
        return true;
    };
    bool ok = true;
    const auto number = [&](quint64 *value) {
        QByteArrayView text;
        bool valid = next(text);
        *value = valid ? text.toULongLong(&valid) : 0;
        ok = ok && valid;
        return *value;
    };
    const auto signedNumber = [&](qint64 *value) {
        QByteArrayView text;
        bool valid = next(text);
        *value = valid ? text.toLongLong(&valid) : 0;
        ok = ok && valid;
    };
    // Each field takes at least its NUL byte: a count beyond the bytes left is false.
    const auto countFits = [&](quint64 count, quint64 limit, quint64 bytesEach) {
        return ok && count <= limit && count <= quint64(input.size() - at) / bytesEach;
    };

    QByteArrayView text;
    if (!next(text) || text != kMagic)
        return fail(QStringLiteral("not a clean request"));
    CleanRequest request;
    QByteArrayView root;
    ok = next(root);
    request.root = root.toByteArray();
    number(&request.device);
    number(&request.rootInode);
    quint64 count = 0;
    quint64 value = 0;
    if (!countFits(number(&count), kMaxExtensions, 1) || request.root.isEmpty())
        return fail(QStringLiteral("the request's header is malformed"));
    for (quint64 i = 0; i < count; ++i) {
        QByteArrayView extension;
        ok = next(extension) && ok;
        if (extension.size() > kMaxExtensionBytes)
            return fail(QStringLiteral("extension %1 of the request is longer than %2 bytes").arg(i).arg(kMaxExtensionBytes));
        request.customExtensions.append(QString::fromUtf8(extension));
    }
    // An item is six fields: a name of one byte at least, a kind letter and four numbers.
    if (!countFits(number(&count), kMaxItems, 12))
        return fail(QStringLiteral("the request's item count is malformed or above %1").arg(kMaxItems));
    request.items.reserve(qsizetype(count));
    // One name, one look: a request naming an item twice could ask about
    // the same name again and again (with other inodes, say), so it is refused whole.
    QSet<QByteArrayView> names;
    names.reserve(qsizetype(count));
    for (quint64 i = 0; i < count; ++i) {
        Item item;
        QByteArrayView relative;
        QByteArrayView letter;
        const bool present = next(relative) && next(letter);
        const std::optional<ItemKind> kind = present ? kindFromLetter(letter) : std::nullopt;
        number(&item.device);
        number(&item.inode);
        signedNumber(&item.size);
        signedNumber(&item.modified);
        if (!ok || !kind || item.size < 0)
            return fail(QStringLiteral("item %1 of the request is malformed").arg(i));
        if (names.contains(relative))
            return fail(QStringLiteral("item %1 of the request names an item named before").arg(i));
        names.insert(relative);
        item.relative = relative.toByteArray();
        item.kind = *kind;
        request.items.append(std::move(item));
    }
    number(&request.scannedFolders.device);
    for (std::vector<quint64> *numbers : {&request.scannedFolders.inodes, &request.scannedFolders.listings}) {
        // A number is at least one digit and its NUL.
        if (!countFits(number(&count), kMaxScannedFolders, 2))
            return fail(QStringLiteral("the request's folder count is malformed or above %1").arg(kMaxScannedFolders));
        numbers->reserve(size_t(count));
        for (quint64 i = 0; i < count; ++i)
            numbers->push_back(number(&value));
    }
    // The folders of the files met outside, each a path below the root within an item's bounds.
    if (!countFits(number(&count), kMaxScannedFolders, 1))
        return fail(QStringLiteral("the request's folder count is malformed or above %1").arg(kMaxScannedFolders));
    for (quint64 i = 0; i < count; ++i) {
        QByteArrayView folder;
        if (!next(folder) || folder.size() > kMaxPathBytes || folder.count('/') >= kMaxComponents)
            return fail(QStringLiteral("folder %1 of the request's files is malformed or too long").arg(i));
        request.scannedFolders.addFolder(folder);
    }
    // Eight bytes a file, in base64 (a little more than ten characters).
    QByteArrayView files;
    if (!countFits(number(&count), kMaxScannedFiles, 10) || !next(files))
        return fail(QStringLiteral("the request's file count is malformed or above %1").arg(kMaxScannedFiles));
    std::optional<std::vector<quint64>> refs = unpacked(files, count);
    const quint64 folders = request.scannedFolders.folderCount();
    if (!refs || std::any_of(refs->cbegin(), refs->cend(), [folders](quint64 ref) { return (ref & 0xffffffffU) >= folders; }))
        return fail(QStringLiteral("the request's files are malformed"));
    request.scannedFolders.files = std::move(*refs);
    request.scannedFolders.finish();
    if (!ok)
        return fail(QStringLiteral("the request's folders are malformed"));
    if (at != input.size())
        return fail(QStringLiteral("the request holds more fields than its counts say"));
    return request;
}

namespace CleanAnswer {

QByteArray line(qsizetype index, int error)
{
    if (error == 0)
        return "removed " + QByteArray::number(index) + '\n';
    return "failed " + QByteArray::number(index) + ' ' + QByteArray::number(error) + '\n';
}

QHash<qsizetype, int> parse(const QByteArray &output)
{
    QHash<qsizetype, int> answers;
    for (const QByteArray &text : output.split('\n')) {
        const QList<QByteArray> words = text.split(' ');
        bool indexOk = false;
        const qsizetype index = words.size() >= 2 ? words.at(1).toLongLong(&indexOk) : -1;
        if (!indexOk || index < 0)
            continue;
        if (words.size() == 2 && words.at(0) == "removed") {
            answers.insert(index, 0);
        } else if (words.size() == 3 && words.at(0) == "failed") {
            bool errorOk = false;
            const int error = words.at(2).toInt(&errorOk);
            if (errorOk && error != 0)
                answers.insert(index, error);
        }
    }
    return answers;
}

QHash<qsizetype, int> Stream::feed(const QByteArray &piece)
{
    m_partial += piece;
    const qsizetype end = m_partial.lastIndexOf('\n');
    if (end < 0)
        return {};
    const QHash<qsizetype, int> answers = parse(m_partial.left(end + 1));
    m_partial.remove(0, end + 1);
    return answers;
}

} // namespace CleanAnswer
