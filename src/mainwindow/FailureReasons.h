#pragma once

#include <QList>
#include <QString>

struct FileItem;

// Why something failed, said to the user in the interface language: a sentence
// for the errno of the failing step (the system's own English text for one
// this table does not know).
QString failureReasonText(int error);

// Why the file `file` (the settings and history) could not be written,
// said of the folder it is kept in: read-only, full, a disk error; else as
// failureReasonText says it.
QString storageFailureText(int error, const QString &file);

// Whether the errno says the device itself went away (unplugged, its FUSE
// daemon gone).
bool isDeviceGoneFailure(int error);

// The reason most of the items failed for (the errno the clean recorded on
// them); 0 when none recorded one.
int commonFailure(const QList<FileItem> &failed);
