#include "cleaning/CleanRequest.h"

namespace {

const QByteArray kMagic = QByteArrayLiteral("sweepbrook-clean-request 1");

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

std::optional<ItemKind> kindFromLetter(const QByteArray &letter)
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

} // namespace

FileItem CleanRequest::Item::identity() const
{
    FileItem item;
    item.kind = kind;
    item.device = device;
    item.inode = inode;
    return item;
}

QByteArray CleanRequest::encode() const
{
    QByteArray out;
    field(out, kMagic);
    field(out, root);
    field(out, QByteArray::number(device));
    field(out, QByteArray::number(rootInode));
    field(out, QByteArray::number(items.size()));
    for (const Item &item : items) {
        field(out, item.relative);
        field(out, QByteArray(1, kindLetter(item.kind)));
        field(out, QByteArray::number(item.device));
        field(out, QByteArray::number(item.inode));
    }
    return out;
}

std::optional<CleanRequest> CleanRequest::decode(const QByteArray &input, QString *error)
{
    const auto fail = [error](const QString &why) -> std::optional<CleanRequest> {
        if (error)
            *error = why;
        return std::nullopt;
    };
    QList<QByteArray> fields = input.split('\0');
    if (fields.isEmpty() || !fields.last().isEmpty())
        return fail(QStringLiteral("the request does not end with a NUL byte"));
    fields.removeLast();
    if (fields.size() < 5 || fields.at(0) != kMagic)
        return fail(QStringLiteral("not a clean request"));
    bool ok = true;
    const auto number = [&ok](const QByteArray &text) {
        bool valid = false;
        const quint64 value = text.toULongLong(&valid);
        ok = ok && valid;
        return value;
    };
    CleanRequest request;
    request.root = fields.at(1);
    request.device = number(fields.at(2));
    request.rootInode = number(fields.at(3));
    const quint64 count = number(fields.at(4));
    // Compared by division: a count near 2^62 would wrap `count * 4` round to the fields there are.
    const quint64 itemFields = quint64(fields.size() - 5);
    if (!ok || request.root.isEmpty() || itemFields % 4 != 0 || itemFields / 4 != count)
        return fail(QStringLiteral("the request's header or item count is malformed"));
    request.items.reserve(qsizetype(count));
    for (qsizetype at = 5; at < fields.size(); at += 4) {
        Item item;
        item.relative = fields.at(at);
        const std::optional<ItemKind> kind = kindFromLetter(fields.at(at + 1));
        item.device = number(fields.at(at + 2));
        item.inode = number(fields.at(at + 3));
        if (!ok || !kind)
            return fail(QStringLiteral("item %1 of the request is malformed").arg((at - 5) / 4));
        item.kind = *kind;
        request.items.append(std::move(item));
    }
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

} // namespace CleanAnswer
