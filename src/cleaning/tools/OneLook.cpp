#include "cleaning/tools/OneLook.h"

#include "platform/FileNames.h"

#include <QChar>
#include <QHashFunctions>
#include <QString>

namespace {

// One form for every spelling a volume that ignores case takes for one name:
// each character upper-cased, folded and upper-cased again, so that both the
// volumes that compare upper-cased names (exFAT's table: "ı" is "I" there)
// and those that compare folded ones find theirs the same. Bytes that are
// no UTF-8 are read as people read them: names that differ only there may
// count as one, never one name as two.
QString caseFolded(QByteArrayView relative)
{
    const QString text = decodeFileName(relative.toByteArray());
    QString folded;
    folded.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        char32_t c = text.at(i).unicode();
        if (QChar::isHighSurrogate(c) && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            c = QChar::surrogateToUcs4(text.at(i), text.at(i + 1));
            ++i;
        }
        const char32_t same = QChar::toUpper(QChar::toCaseFolded(QChar::toUpper(c)));
        folded.append(QString::fromUcs4(&same, 1));
    }
    return folded;
}

} // namespace

bool OneLook::firstNaming(QByteArrayView relative)
{
    if (!m_namesIgnoreCase)
        return true;   // the decoder already refuses a path named twice
    const size_t key = qHash(caseFolded(relative), QHashSeed::globalSeed());
    if (m_namings.contains(key))
        return false;
    m_namings.insert(key);
    return true;
}

bool OneLook::firstLookAt(const struct stat &st)
{
    const std::pair<quint64, quint64> file(quint64(st.st_dev), quint64(st.st_ino));
    if (m_files.contains(file))
        return false;
    m_files.insert(file);
    return true;
}
