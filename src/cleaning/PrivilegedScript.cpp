#include "cleaning/PrivilegedScript.h"

#include "cleaning/PathHandles.h"
#include "platform/Log.h"

#include <QString>
#include <QUuid>

namespace PrivilegedScript {

namespace {

using pathhandles::lastComponent;
using pathhandles::parentOf;

const QByteArray kAbsorb = " 2>/dev/null || true";

// Paths in the folder holding the item, like the index marker next to a Spotlight folder.
QByteArray sibling(const QByteArray &parent, const char *name)
{
    return shellQuote(pathhandles::childPath(parent, name));
}

// Every recursive walk below stays on the item's file system and never acts on
// a symbolic link (find does not follow links unless told to).
QByteArray clearFlags(const QByteArray &p)
{
    return "find " + p + " -xdev \\( -type f -o -type d \\) -exec chattr -i -a -- {} +" + kAbsorb;
}

QByteArray chmodTree(const QByteArray &p, const char *mode)
{
    return "find " + p + " -xdev ! -type l -exec chmod " + mode + " -- {} +" + kAbsorb;
}

// chmod of the item itself, skipped when it is (or has just become) a link.
QByteArray chmodItem(const QByteArray &p, const char *mode, const char *type = "! -type l")
{
    return "find " + p + " -maxdepth 0 " + type + " -exec chmod " + mode + " -- {} +" + kAbsorb;
}

QByteArray removeTree(const QByteArray &p)
{
    return "rm -rf --one-file-system -- " + p + kAbsorb;
}

// Spotlight index, first part: mark the folder holding it as not to be indexed
// and open the index up for removal. The marker files are never written
// through a link.
void spotlightFirst(QList<QByteArray> &out, const QByteArray &p, const QByteArray &parent)
{
    const QByteArray neverIndex = sibling(parent, ".metadata_never_index");
    const QByteArray eventsDir = sibling(parent, ".fseventsd");
    const QByteArray noLog = sibling(parent, ".fseventsd/no_log");
    out << "[ -L " + neverIndex + " ] || touch -- " + neverIndex + kAbsorb
        << chmodItem(neverIndex, "444", "-type f")
        << clearFlags(p)
        << chmodTree(p, "755")
        << "[ -L " + eventsDir + " ] || mkdir -p -- " + eventsDir + kAbsorb
        << "[ -L " + eventsDir + " ] || [ -L " + noLog + " ] || touch -- " + noLog + kAbsorb
        << "[ -L " + eventsDir + " ] || " + chmodItem(noLog, "444", "-type f");
}

// Spotlight index, second part: empty and remove the folder; what resists is
// moved aside next to it (same volume) and removed there.
void spotlightSecond(QList<QByteArray> &out, const QByteArray &p, const QByteArray &backup)
{
    out << "if [ -d " + p + " ]; then"
        << "  " + clearFlags(p)
        << "  find " + p + " -xdev ! -type d -exec rm -f -- {} +" + kAbsorb
        << "  find " + p + " -xdev -depth -type d -exec rmdir -- {} +" + kAbsorb
        << "  if [ -d " + p + " ]; then"
        << "    mv -T -- " + p + ' ' + backup + kAbsorb
        << "    [ -L " + p + " ] || touch -- " + p + kAbsorb
        << "    " + removeTree(backup)
        << "  fi"
        << "fi";
}

void trashFirst(QList<QByteArray> &out, const QByteArray &p)
{
    out << clearFlags(p) << chmodTree(p, "755");
}

// Trash folder, second part: the folder goes and a plain file of the same name
// (mode 644) takes its place, so that the folder is not made again.
void trashSecond(QList<QByteArray> &out, const QByteArray &p)
{
    const QList<QByteArray> placeFile = {
        "  if [ ! -f " + p + " ]; then",
        "    [ -L " + p + " ] || touch -- " + p + kAbsorb,
        "    " + chmodItem(p, "644", "-type f"),
        "  fi",
    };
    out << "if [ -d " + p + " ]; then"
        << "  " + clearFlags(p)
        << "  " + chmodTree(p, "777")
        << "  find " + p + " -xdev ! -type d -delete" + kAbsorb
        << "  find " + p + " -xdev -mindepth 1 -depth -type d -exec rmdir -- {} +" + kAbsorb
        << "  rmdir -- " + p + kAbsorb
        << "  if [ -d " + p + " ]; then " + removeTree(p) + "; fi"
        << "  # 创建同名文件阻止macOS重建.Trashes文件夹";
    out << placeFile;
    out << "else";
    out << placeFile;
    out << "fi";
}

// AppleDouble file: several ways to delete it, each reported on the script's output.
void appleDouble(QList<QByteArray> &out, const QByteArray &p, const QByteArray &path)
{
    logLine(QStringLiteral("SystemCleanHelper: Processing AppleDouble file: ") + QString::fromUtf8(path));
    // The temporary name ends in the shell's process id, the same for the mv and the rm.
    const QByteArray temp = shellQuote(path + ".tmp.") + "\"$$\"";
    out << "printf '%s\\n' 'Starting ._file deletion for: '" + p
        << "ls -la -- " + p + " || echo 'File not found during deletion'"
        << "echo 'Clearing extended attributes...'"
        << "getfattr -h -d -- " + p + " 2>/dev/null || echo 'No extended attributes to list'"
        << "echo 'Clearing protection flags...'"
        << "chattr -i -a -- " + p + kAbsorb
        << "echo 'Setting write permissions...'"
        << chmodItem(p, "777")
        << "ls -la -- " + p + " || echo 'File disappeared after chmod'"
        << "echo 'Attempting rm -f deletion...'"
        << "rm -f -- " + p + " && echo 'rm -f succeeded' || echo 'rm -f failed'"
        << "if [ -f " + p + " ]; then"
        << "  echo 'File still exists, trying unlink...'"
        << "  unlink -- " + p + " && echo 'unlink succeeded' || echo 'unlink failed'"
        << "fi"
        << "if [ -f " + p + " ]; then"
        << "  echo 'File still exists, trying srm...'"
        << "  srm -f -- " + p + " 2>/dev/null && echo 'srm succeeded' || echo 'srm not available or failed'"
        << "fi"
        << "if [ -f " + p + " ]; then"
        << "  echo 'File still exists, trying mv to temp and rm...'"
        << "  mv -T -- " + p + ' ' + temp + " && rm -f -- " + temp + " && echo 'mv+rm succeeded' || echo 'mv+rm failed'"
        << "fi"
        << "if [ -f " + p + " ]; then"
        << "  echo 'FAILED: ._file still exists after all deletion attempts'"
        << "  ls -la -- " + p
        << "else"
        << "  echo 'SUCCESS: ._file deleted successfully'"
        << "fi";
}

void general(QList<QByteArray> &out, const QByteArray &p)
{
    out << chmodTree(p, "755") << removeTree(p);
}

QByteArray defaultBackupName()
{
    return ".spotlight_backup_" + QUuid::createUuid().toByteArray(QUuid::WithoutBraces).toUpper();
}

} // namespace

QByteArray shellQuote(const QByteArray &text)
{
    QByteArray quoted;
    quoted.reserve(text.size() + 2);
    quoted += '\'';
    for (const char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    quoted += '\'';
    return quoted;
}

QList<QByteArray> linesForPath(const QByteArray &path, const std::function<QByteArray()> &newBackupName)
{
    const QByteArray p = shellQuote(path);
    const QByteArray name = lastComponent(path);
    const QByteArray parent = parentOf(path);
    const QByteArray quotedParent = shellQuote(parent);

    QList<QByteArray> groups;
    if (name == ".Spotlight-V100") {
        spotlightFirst(groups, p, parent);
        const QByteArray backupName = newBackupName ? newBackupName() : defaultBackupName();
        spotlightSecond(groups, p, sibling(parent, backupName.constData()));
    } else if (name == ".Trashes") {
        trashFirst(groups, p);
        trashSecond(groups, p);
    } else if (name.startsWith("._")) {
        appleDouble(groups, p, path);
    } else {
        // ".fseventsd" too: there is no event log to flush here, the folder just goes.
        general(groups, p);
    }

    // Nothing is done when a folder on the way is not where the path says (a
    // link, or gone: "cd -P" resolves links, so the physical path differs), a
    // link is only removed itself, and a mount point is left alone.
    QList<QByteArray> lines;
    lines << "if [ \"$(cd -P -- " + quotedParent + " 2>/dev/null && pwd -P)\" != " + quotedParent + " ]; then"
          << "  echo 'Skipped: a folder on the way is missing or is a link'"
          << "elif [ -L " + p + " ]; then"
          << "  rm -f -- " + p + kAbsorb
          << "elif [ -d " + p + " ] && [ \"$(stat -c %d -- " + p + ")\" != \"$(stat -c %d -- " + quotedParent
                 + ")\" ]; then"
          << "  echo 'Skipped: a mount point'"
          << "else";
    for (const QByteArray &line : std::as_const(groups))
        lines << "  " + line;
    lines << "fi";
    return lines;
}

QByteArray buildScript(const QList<QByteArray> &paths)
{
    // The braces make the shell read the whole script before it runs any of
    // it, and no command can read the rest of the script from standard input.
    // A Spotlight folder's lines make ".fseventsd/no_log" next to it, so event
    // folders the batch deletes go last, or they would be made again after
    // their deletion, whatever the order the paths came in.
    QList<QByteArray> ordered;
    QList<QByteArray> eventFolders;
    for (const QByteArray &path : paths)
        (lastComponent(path) == ".fseventsd" ? eventFolders : ordered) << path;
    ordered << eventFolders;

    QList<QByteArray> lines{"{"};
    for (const QByteArray &path : std::as_const(ordered))
        lines << linesForPath(path, defaultBackupName);
    lines << "} </dev/null" << "exit 0";
    return lines.join('\n') + '\n';
}

} // namespace PrivilegedScript
