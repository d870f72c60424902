// Cleans through a held volume in a child process, so a test running as root
// can see what an ordinary account gets (setpriv).
//
//     held_volume_probe remove < request
//     held_volume_probe check < request
//
// The request (cleaning/CleanRequest.h) has an absolute root. "remove" runs
// SafeRemove::removeScanned on every item and answers as our tools do
// ("removed N" / "failed N errno"); "check" answers "gone N" or "left N" as
// DotClean::checkAppleDoubleItemsRemoved sorts the items. Exit status 2 when
// the request or its volume cannot be used.
#include "cleaning/CleanRequest.h"
#include "cleaning/DotClean.h"
#include "cleaning/HeldVolume.h"
#include "cleaning/SafeRemove.h"

#include <QFile>

#include <cstdio>

int main(int argc, char **argv)
{
    QFile input;
    const QByteArray mode = argc == 2 ? QByteArray(argv[1]) : QByteArray();
    if ((mode != "remove" && mode != "check") || !input.open(stdin, QIODevice::ReadOnly)) {
        std::fprintf(stderr, "usage: held_volume_probe remove|check < request\n");
        return 2;
    }
    QString why;
    const std::optional<CleanRequest> request = CleanRequest::decode(input.readAll(), &why);
    const std::unique_ptr<HeldVolume> volume =
        request ? HeldVolume::open(request->root, request->device, request->rootInode, &why) : nullptr;
    if (!volume) {
        std::fprintf(stderr, "held_volume_probe: %s\n", qPrintable(why));
        return 2;
    }
    QByteArray answers;
    if (mode == "remove") {
        for (qsizetype i = 0; i < request->items.size(); ++i) {
            const CleanRequest::Item &item = request->items.at(i);
            answers += CleanAnswer::line(i, SafeRemove::removeScanned(*volume, item.relative, item.identity()).error);
        }
    } else {
        QList<FileItem> items;
        for (const CleanRequest::Item &item : request->items)
            items.append(FileItem::fromNativePath(request->root + '/' + item.relative, 0));
        const QList<FileItem> removed = DotClean::checkAppleDoubleItemsRemoved(*volume, items).first;
        for (qsizetype i = 0; i < items.size(); ++i) {
            const bool gone = std::any_of(removed.cbegin(), removed.cend(),
                                          [&](const FileItem &item) { return item.fsPath() == items.at(i).fsPath(); });
            answers += (gone ? "gone " : "left ") + QByteArray::number(i) + '\n';
        }
    }
    std::fflush(stdout);   // after the diagnostics the check printed
    std::fwrite(answers.constData(), 1, size_t(answers.size()), stdout);
    return 0;
}
