#pragma once

#include <QByteArray>

#include <functional>

// Many diagnostic lines made on several threads and written in their order.
// The lines come in pieces: a few threads make the next pieces, each into a
// buffer of its own, while the calling thread writes the ones before them
// (logCaptured), so the lines of a scan's hundreds of thousands of items
// leave at the pace of the writing, not of their making. Only a few pieces
// are held at a time, so what is held does not grow with the lines.
namespace linesinorder {

// Makes piece `index` into `lines` (empty, its room kept), on any thread,
// each piece once. It must not log: what it would say goes into `lines`.
// False when the piece must be made in its turn on the writing thread
// instead (what is in `lines` is dropped then).
using Make = std::function<bool(qsizetype index, QByteArray &lines)>;
// On the writing thread, for each piece in order, before its lines are
// written: `made` tells whether make() made them; when it did not, this is
// where the piece is made and said. Without one, such a piece is made by
// make() again on the writing thread.
using InTurn = std::function<void(qsizetype index, bool made)>;

// Pieces 0 .. count - 1; returns once all are written.
void write(qsizetype count, const Make &make, const InTurn &inTurn = {});

// The threads that make pieces beside the writing one (none on a machine of
// one processor). For tests: more or fewer than the machine would give.
int helperCount();
void setHelperCount(int helpers);   // -1: as the machine gives

} // namespace linesinorder
