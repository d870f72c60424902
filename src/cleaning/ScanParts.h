#pragma once

// Small pieces the scan's files share: an entry's name as the matcher reads
// it, and a look at an item when there was one. Not for use elsewhere.

#include "cleaning/PathHandles.h"

#include <QByteArrayView>
#include <QFile>
#include <QString>
#include <QStringView>

#include <algorithm>
#include <optional>

#include <sys/stat.h>

namespace scanparts {

// A look at an item, when there was one.
inline std::optional<pathhandles::ItemLook> looked(const std::optional<struct stat> &st)
{
    return st ? std::optional(pathhandles::lookOf(*st)) : std::nullopt;
}

// An entry's name as the matcher reads it: while it is ASCII (nearly every
// name), widened into a buffer of its own, as decoding would give it but
// without allocating; decoded otherwise.
class NameText
{
public:
    explicit NameText(QByteArrayView bytes)
    {
        const bool ascii = bytes.size() <= kLongest
                           && std::all_of(bytes.cbegin(), bytes.cend(), [](char c) { return uchar(c) < 0x80; });
        if (ascii) {
            std::copy(bytes.cbegin(), bytes.cend(), m_buffer);
            m_view = QStringView(m_buffer, bytes.size());
        } else {
            m_decoded = QFile::decodeName(bytes.toByteArray());
            m_view = m_decoded;
        }
    }
    NameText(const NameText &) = delete;
    NameText &operator=(const NameText &) = delete;

    QStringView view() const { return m_view; }

private:
    static constexpr qsizetype kLongest = 255;   // NAME_MAX
    char16_t m_buffer[kLongest];
    QString m_decoded;
    QStringView m_view;
};

} // namespace scanparts
