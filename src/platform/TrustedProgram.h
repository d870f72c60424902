#pragma once

#include <QString>

#include <optional>

// Whether only root can change a program before it runs as root: the program
// is a regular file that root owns and nobody else may write, and every
// folder on the way to it (through every symbolic link on the way, each
// followed as the kernel would) belongs to root and may be written by nobody
// else, up to "/". No exception for the sticky bit or for group root: a
// member of that group need not be root.
struct UntrustedProgram
{
    enum class Why { missing, notAFile, notRootsOwn, writableByOthers };
    Why why = Why::missing;
    QString path;      // the program itself, or the folder or link at fault
    int errorNumber = 0;   // for `missing`: why it could not be looked at

    QString text() const;  // in English, for the diagnostics
};

// Nothing when the program at `absolutePath` can be trusted.
std::optional<UntrustedProgram> whyProgramIsUntrusted(const QString &absolutePath);
