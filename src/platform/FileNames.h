#pragma once

#include <QByteArray>
#include <QString>

// File names and paths are bytes; people read them as text. Linux does not say
// which encoding a name is in: a stick labelled on an older desktop, or mounted
// by hand, can carry names in Latin-1 or Windows-1252.

// The best reading of a name or path for people: UTF-8 wherever the bytes are
// UTF-8, any other byte as the Windows-1252 character of that value (Latin-1
// where 1252 leaves a gap). A folder's reading is a prefix of its content's.
QString decodeFileName(const QByteArray &bytes);

// `bytes` when `decoded` (its reading) would not give them back, else empty:
// what a record keeps beside its text so the exact name can still be reached.
QByteArray bytesUnlessRoundTrip(const QByteArray &bytes, const QString &decoded);

// A path's bytes as a diagnostic line shows them in people's reading: what
// logLine(text + decodeFileName(path)) writes after the text's own bytes
// (see logPieces). Plain UTF-8 comes back as it is, without a copy.
QByteArray loggedFileName(const QByteArray &path);
