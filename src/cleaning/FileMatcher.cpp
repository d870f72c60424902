#include "cleaning/FileMatcher.h"

#include "cleaning/ScanParts.h"
#include "platform/Log.h"

#include <QList>

#include <algorithm>
#include <array>
#include <initializer_list>
#include <limits>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace {

const QString kAppleDoublePattern = QStringLiteral("._*");
const QString kCoreDumpPattern = QStringLiteral("core.*");
const QString kMacosxName = QStringLiteral("__MACOSX");

std::u16string_view u16view(QStringView text)
{
    return {text.utf16(), size_t(text.size())};
}

// Heterogeneous lookup, so a name can be looked up without building a string.
struct ViewHash
{
    using is_transparent = void;
    size_t operator()(std::u16string_view text) const noexcept { return std::hash<std::u16string_view>{}(text); }
};
using ViewMap = std::unordered_map<std::u16string, int, ViewHash, std::equal_to<>>;

// Lower-cases ASCII text into `buffer`; false when the text is too long or not
// plain ASCII (the caller then takes a slower, Unicode-aware path).
template <size_t N>
bool asciiLower(QStringView text, char16_t (&buffer)[N], std::u16string_view &out)
{
    if (size_t(text.size()) > N)
        return false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (c >= 0x80)
            return false;
        buffer[i] = (c >= u'A' && c <= u'Z') ? char16_t(c + (u'a' - u'A')) : c;
    }
    out = std::u16string_view(buffer, size_t(text.size()));
    return true;
}

// The text after the last "." of a name; nothing when the name holds no ".".
std::optional<QStringView> extensionOf(QStringView name)
{
    const qsizetype dot = name.lastIndexOf(u'.');
    if (dot < 0)
        return std::nullopt;
    return name.mid(dot + 1);
}

// "core." followed by one or more digits and nothing else: a core dump.
bool isCoreDump(QStringView name)
{
    constexpr qsizetype prefixLength = 5;
    if (name.size() <= prefixLength || !name.startsWith(u"core.", Qt::CaseInsensitive))
        return false;
    for (qsizetype i = prefixLength; i < name.size(); ++i) {
        if (name[i].unicode() < u'0' || name[i].unicode() > u'9')
            return false;
    }
    return true;
}

// The text of a "text*" or "*text" pattern, compared without regard to case:
// code unit by code unit while both sides are ASCII, through Qt's case
// folding when either is not (so "K" meets the Kelvin sign, as the
// pattern's expression would have it).
class Affix
{
public:
    Affix(QString text, int rank) : m_text(std::move(text)), m_rank(rank)
    {
        m_ascii = std::all_of(m_text.cbegin(), m_text.cend(), [](QChar c) { return c.unicode() < 0x80; });
        for (QChar c : std::as_const(m_text))
            m_lower.push_back(char16_t(asciiLowerOf(c.unicode())));
    }

    int rank() const { return m_rank; }
    const QString &text() const { return m_text; }
    bool startOf(QStringView name) const { return name.size() >= m_text.size() && equals(name.first(m_text.size())); }
    bool endOf(QStringView name) const { return name.size() >= m_text.size() && equals(name.last(m_text.size())); }

private:
    static char16_t asciiLowerOf(char16_t c) { return (c >= u'A' && c <= u'Z') ? char16_t(c + (u'a' - u'A')) : c; }

    bool equals(QStringView part) const
    {
        if (m_ascii) {
            for (qsizetype i = 0; i < part.size(); ++i) {
                const char16_t c = part[i].unicode();
                if (c >= 0x80)
                    return part.compare(m_text, Qt::CaseInsensitive) == 0;
                if (asciiLowerOf(c) != m_lower[size_t(i)])
                    return false;
            }
            return true;
        }
        return part.compare(m_text, Qt::CaseInsensitive) == 0;
    }

    QString m_text;
    std::u16string m_lower;   // ASCII letters lower-cased
    int m_rank;
    bool m_ascii = true;
};

// The first letters (ASCII) and lengths of the names of a table, so that
// most names are turned away before they are hashed: bit n of [c] for a name
// that starts with c and is n long (63: 63 or longer).
class NameShapes
{
public:
    void add(QStringView name)
    {
        if (name.isEmpty())
            return;
        if (name[0].unicode() < 128)
            m_shapes[name[0].unicode()] |= quint64(1) << std::min<qsizetype>(name.size(), 63);
        else
            m_beyondAscii = true;
    }

    bool mayHold(QStringView name) const
    {
        if (name.isEmpty())
            return false;
        const char16_t first = name[0].unicode();
        if (first >= 128)
            return m_beyondAscii;
        return (m_shapes[first] >> std::min<qsizetype>(name.size(), 63)) & 1;
    }

private:
    std::array<quint64, 128> m_shapes{};
    bool m_beyondAscii = false;   // a name starting beyond ASCII
};

// Is the pattern one "*" at its start or end around plain text? Then it is
// an affix comparison, not an expression.
enum class Simple { no, prefix, suffix };
Simple simpleForm(const QString &pattern)
{
    static const QRegularExpression metacharacters(QStringLiteral(R"([\^$+?()\[\]{}|\\])"));
    if (pattern.count(u'*') != 1 || pattern.contains(metacharacters))
        return Simple::no;
    if (pattern.startsWith(u'*'))
        return Simple::suffix;
    return pattern.endsWith(u'*') ? Simple::prefix : Simple::no;
}

// Diagnostics are built from views of the name, so nothing is copied unless printed.
void logParts(std::initializer_list<QStringView> parts)
{
    QString line;
    for (QStringView part : parts)
        line.append(part);
    logLine(line);
}

// A pattern with "*" as an expression over the whole name: "." literal, "*"
// any run of characters (newlines too), other characters as they are; case
// ignored. Anchored to the very start and end, so a name that ends in a
// newline is not taken for one without it. Prints the diagnostic when the
// expression does not compile.
QRegularExpression wildcardExpression(const QString &pattern)
{
    QString expression = pattern;
    expression.replace(u'.', QStringLiteral("\\."));
    expression.replace(u'*', QStringLiteral(".*"));
    constexpr auto options = QRegularExpression::CaseInsensitiveOption | QRegularExpression::DotMatchesEverythingOption;
    // Checked alone first: the anchoring group must not balance a stray
    // bracket of the pattern ("a)|(b*") into an expression that compiles.
    QRegularExpression compiled(expression, options);
    if (compiled.isValid())
        compiled.setPattern(QRegularExpression::anchoredPattern(expression));
    if (!compiled.isValid())
        logLine(QStringLiteral("正则表达式创建失败: ") + compiled.errorString());
    return compiled;
}

} // namespace

struct FileMatcher::Impl
{
    // A user pattern that keeps matching items: the name itself, a prefix
    // or suffix compared as text, or (other wildcards) an expression.
    struct Excluded
    {
        QString pattern;
        bool wildcard = false;
        bool appleDouble = false;   // exactly "._*"
        Simple form = Simple::no;
        std::optional<Affix> affix;
        QRegularExpression expression;
        bool valid = false;
    };

    // A catalogue pattern kept as an expression because it fits no faster table.
    struct Generic
    {
        QRegularExpression expression;
        int rank;
    };

    static constexpr int kNone = std::numeric_limits<int>::max();

    std::vector<Excluded> excluded;
    ViewMap customExtensions;   // lower-cased, without a leading dot: one lookup however many
    bool customOn = false;

    // Catalogue of the enabled kinds; a rank is the kind's place in allCases(),
    // the order in which the kinds are tried (the lowest rank wins).
    QList<FileType> kinds;   // by rank
    ViewMap exactNames;      // case-sensitive, files and folders
    NameShapes exactShapes;
    ViewMap extensions;      // "*.ext": lower-cased "ext"
    NameShapes extensionShapes;
    std::vector<Affix> extensionsSlow;   // the same, for non-ASCII extensions
    size_t longestExtension = 0;
    std::vector<Affix> suffixes;   // "*text" that is no plain extension
    std::vector<Affix> prefixes;   // "text*"
    int appleDoubleRank = kNone;   // "._*"
    int coreDumpRank = kNone;      // "core.*"
    std::vector<Generic> generic;

    void addExact(const QString &name, int rank)
    {
        exactNames.try_emplace(std::u16string(u16view(name)), rank);
        exactShapes.add(name);
    }

    void addCataloguePattern(const QString &pattern, int rank);
    int catalogueRank(QStringView name, bool isDirectory, bool &appleDoubleHit) const;
    bool excludes(const Excluded &entry, QStringView name) const;
};

void FileMatcher::Impl::addCataloguePattern(const QString &pattern, int rank)
{
    if (pattern.contains(u'/'))
        return;   // names never hold "/"
    if (!pattern.contains(u'*')) {
        addExact(pattern, rank);
        return;
    }
    if (pattern == kAppleDoublePattern) {
        appleDoubleRank = std::min(appleDoubleRank, rank);
        return;
    }
    if (pattern == kCoreDumpPattern) {
        coreDumpRank = std::min(coreDumpRank, rank);
        return;
    }
    const Simple form = simpleForm(pattern);
    if (form == Simple::suffix) {
        const QString tail = pattern.mid(1);
        if (tail.startsWith(u'.') && tail.count(u'.') == 1 && tail.size() > 1) {
            const QString ext = tail.mid(1);
            char16_t buffer[64];
            std::u16string_view lower;
            if (asciiLower(ext, buffer, lower)) {
                extensions.try_emplace(std::u16string(lower), rank);
                extensionShapes.add(QStringView(lower.data(), qsizetype(lower.size())));
                longestExtension = std::max(longestExtension, lower.size());
            } else {
                extensionsSlow.emplace_back(ext, rank);
            }
        } else {
            suffixes.emplace_back(tail, rank);
        }
        return;
    }
    if (form == Simple::prefix) {
        prefixes.emplace_back(pattern.chopped(1), rank);
        return;
    }
    QRegularExpression expression = wildcardExpression(pattern);
    if (!expression.isValid())
        return;
    expression.optimize();
    generic.push_back({std::move(expression), rank});
}

// The rank of the first enabled kind whose patterns match, or kNone. Wildcard
// patterns apply to files only.
int FileMatcher::Impl::catalogueRank(QStringView name, bool isDirectory, bool &appleDoubleHit) const
{
    appleDoubleHit = false;
    int best = kNone;
    if (exactShapes.mayHold(name)) {
        if (const auto it = exactNames.find(u16view(name)); it != exactNames.end())
            best = it->second;
    }
    if (isDirectory || best == 0)
        return best;

    if (const std::optional<QStringView> ext = extensionOf(name); ext && !ext->isEmpty()) {
        if (size_t(ext->size()) <= longestExtension) {
            char16_t buffer[64];
            std::u16string_view lower;
            if (asciiLower(*ext, buffer, lower)) {
                if (extensionShapes.mayHold(QStringView(lower.data(), qsizetype(lower.size())))) {
                    if (const auto it = extensions.find(lower); it != extensions.end())
                        best = std::min(best, it->second);
                }
            } else {
                // Letters that fold onto ASCII ones (the Kelvin sign, for one).
                for (const auto &[text, rank] : extensions) {
                    const QStringView entry(text.data(), qsizetype(text.size()));
                    if (rank < best && ext->compare(entry, Qt::CaseInsensitive) == 0)
                        best = rank;
                }
            }
        }
        for (const Affix &entry : extensionsSlow) {
            if (entry.rank() < best && ext->compare(entry.text(), Qt::CaseInsensitive) == 0)
                best = entry.rank();
        }
    }
    for (const Affix &entry : suffixes) {
        if (entry.rank() < best && entry.endOf(name))
            best = entry.rank();
    }
    for (const Affix &entry : prefixes) {
        if (entry.rank() < best && entry.startOf(name))
            best = entry.rank();
    }
    if (coreDumpRank < best && isCoreDump(name))
        best = coreDumpRank;
    if (appleDoubleRank < best && name.startsWith(u"._")) {
        best = appleDoubleRank;
        appleDoubleHit = true;
    }
    for (const Generic &entry : generic) {
        if (entry.rank < best && entry.expression.match(name).hasMatch()) {
            best = entry.rank;
            appleDoubleHit = false;
        }
    }
    return best;
}

bool FileMatcher::Impl::excludes(const Excluded &entry, QStringView name) const
{
    if (entry.appleDouble && name.startsWith(u"._")) {
        logParts({u"找到._文件: ", name});
        return true;
    }
    if (name == entry.pattern)
        return true;
    if (entry.affix)
        return entry.form == Simple::prefix ? entry.affix->startOf(name) : entry.affix->endOf(name);
    if (!entry.wildcard || !entry.valid)
        return false;
    return entry.expression.match(name).hasMatch();
}

FileMatcher::FileMatcher(const QMap<FileType, QStringList> &catalogue, const FileTypeSet &enabledSnapshot,
                         const QStringList &customExtensions, const QStringList &excludedPatterns)
    : d(std::make_unique<Impl>())
{
    for (const QString &pattern : excludedPatterns) {
        Impl::Excluded entry;
        entry.pattern = pattern;
        entry.appleDouble = pattern == kAppleDoublePattern;
        // A name never holds "/", so such a pattern can only match by accident
        // of a character class; it is left out altogether.
        if (pattern.contains(u'/'))
            continue;
        entry.wildcard = pattern.contains(u'*');
        entry.form = simpleForm(pattern);
        if (entry.form != Simple::no) {
            entry.affix.emplace(entry.form == Simple::prefix ? pattern.chopped(1) : pattern.mid(1), 0);
        } else if (entry.wildcard) {
            entry.expression = wildcardExpression(pattern);
            entry.valid = entry.expression.isValid();
            if (entry.valid)
                entry.expression.optimize();
        }
        d->excluded.push_back(std::move(entry));
    }

    static const QRegularExpression leadingDot(QStringLiteral("^\\."));
    for (const QString &extension : customExtensions)
        d->customExtensions.try_emplace(std::u16string(u16view(extension.toLower().remove(leadingDot))), 0);
    d->customOn = enabledSnapshot.contains(FileType::custom) && !d->customExtensions.empty();

    for (FileType type : FileTypes::allCases()) {
        if (type == FileType::custom || !enabledSnapshot.contains(type))
            continue;
        const auto it = catalogue.constFind(type);
        if (it == catalogue.constEnd())
            continue;
        const int rank = int(d->kinds.size());
        d->kinds.append(type);
        for (const QString &pattern : *it)
            d->addCataloguePattern(pattern, rank);
    }
}

FileMatcher::~FileMatcher() = default;
FileMatcher::FileMatcher(FileMatcher &&) noexcept = default;
FileMatcher &FileMatcher::operator=(FileMatcher &&) noexcept = default;

bool FileMatcher::hasExclusions() const
{
    return !d->excluded.empty();
}

bool FileMatcher::isKeptName(QByteArrayView name) const
{
    static const QByteArray protectedBytes = protectedName.toUtf8();
    if (d->excluded.empty())
        return name == protectedBytes;
    return isKept(scanparts::NameText(name).view());
}

bool FileMatcher::isKept(QStringView name) const
{
    if (name == protectedName)
        return true;
    for (const Impl::Excluded &entry : d->excluded) {
        if (d->excludes(entry, name)) {
            logParts({u"文件 ", name, u" 匹配排除模式 ", entry.pattern, u"，将被保留（白名单）"});
            return true;
        }
    }
    return false;
}

std::optional<FileType> FileMatcher::matchFile(const MatchItem &item, const FileTypeSet &enabledTypes) const
{
    const QStringView name = item.name;
    if (isKept(name))
        return std::nullopt;

    if (!item.isDirectory && name.startsWith(u"._") && enabledTypes.contains(FileType::temporaryFiles)) {
        logParts({u"文件匹配器直接匹配到._文件: ", name});
        return FileType::temporaryFiles;
    }

    // Archive debris from macOS: junk whatever kinds are enabled.
    if (name == kMacosxName || item.insideMacosx)
        return FileType::temporaryFiles;

    if (d->customOn && !item.isDirectory) {
        if (const std::optional<QStringView> ext = extensionOf(name); ext && !ext->isEmpty()) {
            char16_t buffer[32];
            std::u16string_view lower;
            const QString owned = asciiLower(*ext, buffer, lower) ? QString() : ext->toString().toLower();
            const QStringView key =
                owned.isNull() ? QStringView(lower.data(), qsizetype(lower.size())) : QStringView(owned);
            if (d->customExtensions.find(u16view(key)) != d->customExtensions.end()) {
                logParts({u"找到自定义类型文件: ", name, u" 扩展名: ", key});
                return FileType::custom;
            }
        }
    }

    bool appleDoubleHit = false;
    const int rank = d->catalogueRank(name, item.isDirectory, appleDoubleHit);
    if (rank == Impl::kNone)
        return std::nullopt;
    if (appleDoubleHit)
        logParts({u"找到._文件: ", name});
    return d->kinds.at(rank);
}

bool FileMatcher::matchesWildcardPattern(const QString &name, const QString &pattern)
{
    if (pattern == kAppleDoublePattern && name.startsWith(u"._")) {
        logLine(QStringLiteral("找到._文件: ") + name);
        return true;
    }
    if (pattern.contains(u'/'))
        return false;   // names never hold "/"
    // "core.*" means core dumps, not every file called "core" with an extension.
    if (pattern == kCoreDumpPattern)
        return isCoreDump(name);
    if (name == pattern)
        return true;
    if (!pattern.contains(u'*'))
        return false;
    const QRegularExpression expression = wildcardExpression(pattern);
    return expression.isValid() && expression.match(name).hasMatch();
}
