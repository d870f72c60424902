#include "localization/Localization.h"

#include "localization/Bidi.h"
#include "localization/LanguageManager.h"
#include "localization/StringsFile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>
#include <QRegularExpression>

#include <algorithm>
#include <atomic>
#include <mutex>

namespace {

const QString kEnglish = QStringLiteral("en");
constexpr QChar kRightToLeftMark(0x200F);
const QString kTableFile = QStringLiteral("Localizable.strings");

// A code names a folder below the root; anything that could leave it is refused.
bool isPlainCode(const QString &code)
{
    return !code.isEmpty() && code != u"." && code != u".." && !code.contains(u'/') && !code.contains(u'\\');
}

std::atomic<StringTables *> g_sharedTables{nullptr};

} // namespace

// One table: found and parsed the first time any thread asks for it, read-only after.
struct StringTables::Impl
{
    struct Table
    {
        std::once_flag loaded;
        bool present = false;
        QHash<QString, QString> entries;
    };

    QString rootPath;
    mutable QMutex mutex;   // guards `tables`, not the tables' contents
    mutable QHash<QString, std::shared_ptr<Table>> tables;

    std::shared_ptr<const Table> table(const QString &code) const
    {
        std::shared_ptr<Table> slot;
        {
            const QMutexLocker lock(&mutex);
            std::shared_ptr<Table> &entry = tables[code];
            if (!entry)
                entry = std::make_shared<Table>();
            slot = entry;
        }
        std::call_once(slot->loaded, [&] {
            if (!isPlainCode(code))
                return;
            const QString path = rootPath + u'/' + code + QStringLiteral(".lproj/") + kTableFile;
            if (!QFileInfo(path).isFile())
                return;
            slot->present = true;
            slot->entries = loadStringsFile(path).entries;
        });
        return slot;
    }
};

StringTables::StringTables(const QString &rootPath) : d(std::make_unique<Impl>())
{
    d->rootPath = rootPath;
}

StringTables::~StringTables() = default;

QString StringTables::appTablesRoot()
{
    // An installed app reads the tables installed beside it (share/sweepbrook/lproj
    // under its prefix); a build that is not installed, the copies it carries.
    if (QCoreApplication::instance()) {
        const QString installed =
            QDir::cleanPath(QCoreApplication::applicationDirPath() + QStringLiteral("/../share/sweepbrook/lproj"));
        if (QFileInfo(installed + QStringLiteral("/en.lproj/") + kTableFile).isFile())
            return installed;
    }
    return QStringLiteral(":/lproj");
}

StringTables &StringTables::shared()
{
    if (StringTables *tables = g_sharedTables.load())
        return *tables;
    static StringTables appTables(appTablesRoot());
    return appTables;
}

void StringTables::setShared(StringTables *tables)
{
    g_sharedTables.store(tables);
}

bool StringTables::hasTable(const QString &code) const
{
    return d->table(code)->present;
}

std::optional<QString> StringTables::lookup(const QString &code, const QString &key) const
{
    const auto table = d->table(code);
    const auto it = table->entries.constFind(key);
    if (it == table->entries.constEnd())
        return std::nullopt;
    return *it;
}

QStringList StringTables::codes() const
{
    QStringList result;
    const QDir root(d->rootPath);
    for (const QString &folder : root.entryList({QStringLiteral("*.lproj")}, QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name)) {
        if (QFileInfo(root.filePath(folder + u'/' + kTableFile)).isFile())
            result.append(folder.chopped(int(qstrlen(".lproj"))));
    }
    return result;
}

namespace SystemLanguage {

namespace {

QMutex g_overrideMutex;
std::optional<QString> g_localeNameOverride;

bool isAsciiAlpha(QStringView text)
{
    return std::all_of(text.begin(), text.end(), [](QChar c) {
        return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
    });
}

bool isAsciiDigits(QStringView text)
{
    return std::all_of(text.begin(), text.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
}

} // namespace

std::optional<QString> tableCodeForLocaleName(const QString &localeName)
{
    // "de_DE.UTF-8@euro" -> "de_DE": the codeset and modifier say nothing about the language.
    QString name = localeName.trimmed();
    const qsizetype cut = name.indexOf(QRegularExpression(QStringLiteral("[.@]")));
    if (cut >= 0)
        name.truncate(cut);
    if (name.isEmpty() || name == u"C" || name == u"POSIX")
        return std::nullopt;

    const QStringList parts = name.split(QRegularExpression(QStringLiteral("[_-]")));
    const QString language = parts.first().toLower();
    if (language.size() < 2 || language.size() > 3 || !isAsciiAlpha(language))
        return std::nullopt;

    QString script;
    QString region;
    for (qsizetype i = 1; i < parts.size(); ++i) {
        const QString &part = parts.at(i);
        if (part.size() == 4 && isAsciiAlpha(part) && script.isEmpty() && region.isEmpty())
            script = part.toLower();
        else if ((part.size() == 2 && isAsciiAlpha(part)) || (part.size() == 3 && isAsciiDigits(part)))
            region = part.toUpper();
    }

    if (language == u"zh") {
        if (script == u"hant")
            return QStringLiteral("zh-Hant");
        if (script == u"hans")
            return QStringLiteral("zh-Hans");
        if (region == u"TW" || region == u"HK" || region == u"MO")
            return QStringLiteral("zh-Hant");
        return QStringLiteral("zh-Hans");
    }
    return language;   // pt_BR and pt_PT both read the one "pt" table
}

std::optional<QString> currentTableCode()
{
    {
        const QMutexLocker lock(&g_overrideMutex);
        if (g_localeNameOverride)
            return tableCodeForLocaleName(*g_localeNameOverride);
    }
    // QLocale::system() already weighs LC_ALL, LC_MESSAGES, LANG and LANGUAGE.
    const QLocale system = QLocale::system();
    if (system.language() == QLocale::C || system.language() == QLocale::AnyLanguage)
        return std::nullopt;
    QString name = QLocale::languageToCode(system.language());
    if (system.script() != QLocale::AnyScript)
        name += u'_' + QLocale::scriptToCode(system.script());
    if (system.territory() != QLocale::AnyTerritory)
        name += u'_' + QLocale::territoryToCode(system.territory());
    return tableCodeForLocaleName(name);
}

void setLocaleNameOverride(const std::optional<QString> &localeName)
{
    const QMutexLocker lock(&g_overrideMutex);
    g_localeNameOverride = localeName;
}

} // namespace SystemLanguage

namespace {

std::optional<QString> chosenTableCode()
{
    const AppLanguage language = LanguageManager::shared().currentLanguage();
    if (language == AppLanguage::system)
        return SystemLanguage::currentTableCode();
    return language.rawValue();
}

// A text of a right-to-left table starts a right-to-left paragraph, also
// when its first letters are Latin ("Sweepbrook ...") or a placeholder: the
// widgets take a paragraph's direction from its first strong letter. The
// names it writes out keep their own order inside it.
QString inTableDirection(const QString &code, const QString &text)
{
    if (!bidi::isRightToLeftTable(code) || text.isEmpty())
        return text;
    return kRightToLeftMark + bidi::isolateWrittenNames(text);
}

} // namespace

QString localized(const QString &key)
{
    // A key missing from a translation falls back to English, not to the bare key.
    const StringTables &tables = StringTables::shared();
    if (const std::optional<QString> code = chosenTableCode()) {
        if (std::optional<QString> text = tables.lookup(*code, key))
            return inTableDirection(*code, *text);
    }
    if (std::optional<QString> text = tables.lookup(kEnglish, key))
        return *text;
    return mainTableLocalized(key);
}

QString mainTableLocalized(const QString &key)
{
    const StringTables &tables = StringTables::shared();
    if (const std::optional<QString> code = SystemLanguage::currentTableCode()) {
        if (std::optional<QString> text = tables.lookup(*code, key))
            return inTableDirection(*code, *text);
    }
    if (std::optional<QString> text = tables.lookup(kEnglish, key))
        return *text;
    return key;
}

namespace {

struct Placeholder
{
    int position = 0;        // 1-based "%N$", 0 when sequential
    bool leftAlign = false;
    bool zeroPad = false;
    int width = 0;
    int precision = -1;
    bool hasLength = false;  // l or ll
    QChar conversion;
};

// Reads up to `maxDigits` digits at `i`; more than that is not a format we write.
bool readNumber(const QString &format, qsizetype &i, int maxDigits, int &value, bool &tooLong)
{
    const qsizetype start = i;
    value = 0;
    while (i < format.size() && format.at(i) >= u'0' && format.at(i) <= u'9') {
        value = value * 10 + (format.at(i).unicode() - u'0');
        ++i;
        if (i - start > maxDigits) {
            tooLong = true;
            return true;
        }
    }
    return i > start;
}

// Parses the placeholder after the '%' at `i`; on success `i` is just past it.
std::optional<Placeholder> parsePlaceholder(const QString &format, qsizetype &i)
{
    Placeholder p;
    bool tooLong = false;
    const qsizetype n = format.size();

    qsizetype j = i;
    int number = 0;
    if (readNumber(format, j, 3, number, tooLong) && !tooLong && j < n && format.at(j) == u'$') {
        if (number == 0)
            return std::nullopt;
        p.position = number;
        i = j + 1;
    }
    tooLong = false;

    for (; i < n; ++i) {
        if (format.at(i) == u'-')
            p.leftAlign = true;
        else if (format.at(i) == u'0')
            p.zeroPad = true;
        else
            break;
    }
    readNumber(format, i, 4, p.width, tooLong);
    if (i < n && format.at(i) == u'.') {
        ++i;
        readNumber(format, i, 2, p.precision, tooLong);
    }
    if (tooLong)
        return std::nullopt;
    if (i < n && format.at(i) == u'l') {
        p.hasLength = true;
        ++i;
        if (i < n && format.at(i) == u'l')
            ++i;
    }
    if (i >= n)
        return std::nullopt;
    p.conversion = format.at(i);
    const bool integer = p.conversion == u'd' || p.conversion == u'i' || p.conversion == u'u';
    const bool fixed = p.conversion == u'f';
    const bool object = p.conversion == u'@';
    if (!integer && !fixed && !object)
        return std::nullopt;
    if ((object && p.hasLength) || (!fixed && p.precision >= 0))
        return std::nullopt;
    ++i;
    return p;
}

// In a right-to-left text (one that starts with the mark a right-to-left
// table's texts start with) a text filled in is isolated in the direction of
// its own first letter: a name, date or list keeps its order and cannot
// reorder the sentence around it.
QString render(const Placeholder &p, const QVariant &argument, bool rightToLeft)
{
    QString text;
    bool numeric = false;
    if (p.conversion == u'f') {
        bool ok = false;
        const double value = argument.toDouble(&ok);
        numeric = ok;
        text = ok ? QString::number(value, 'f', p.precision >= 0 ? p.precision : 6) : argument.toString();
    } else if (p.conversion != u'@') {
        bool ok = false;
        const qlonglong value = argument.toLongLong(&ok);
        numeric = ok;
        text = ok ? QString::number(value) : argument.toString();
    } else {
        text = argument.toString();
        if (rightToLeft && !bidi::isIsolated(text))
            text = bidi::name(text, Qt::RightToLeft);
    }

    if (text.size() >= p.width)
        return text;
    const qsizetype fill = p.width - text.size();
    if (p.leftAlign)
        return text + QString(fill, u' ');
    if (p.zeroPad && numeric) {
        const qsizetype signLength = (text.startsWith(u'-') || text.startsWith(u'+')) ? 1 : 0;
        return text.left(signLength) + QString(fill, u'0') + text.mid(signLength);
    }
    return QString(fill, u' ') + text;
}

} // namespace

QString formatString(const QString &format, const QVariantList &arguments)
{
    QString out;
    out.reserve(format.size());
    const qsizetype n = format.size();
    const bool rightToLeft = format.startsWith(kRightToLeftMark);
    qsizetype nextSequential = 0;
    qsizetype i = 0;
    while (i < n) {
        const QChar c = format.at(i);
        if (c != u'%') {
            out.append(c);
            ++i;
            continue;
        }
        const qsizetype start = i++;
        if (i < n && format.at(i) == u'%') {
            out.append(u'%');
            ++i;
            continue;
        }
        const std::optional<Placeholder> placeholder = parsePlaceholder(format, i);
        if (!placeholder) {
            // Not a placeholder we know: keep what was read as plain text (but a
            // '%' that stopped the reading may start the next placeholder).
            const qsizetype end = (i < n && format.at(i) != u'%') ? i + 1 : i;
            out.append(QStringView(format).mid(start, end - start));
            i = end;
            continue;
        }
        const qsizetype index = placeholder->position > 0 ? placeholder->position - 1 : nextSequential++;
        if (index >= arguments.size()) {
            out.append(QStringView(format).mid(start, i - start));
            continue;
        }
        out.append(render(*placeholder, arguments.at(index), rightToLeft));
    }
    return out;
}

QLocale LocalizationManager::currentLocale()
{
    const QString code = chosenTableCode().value_or(kEnglish);
    // Table codes use '-' ("zh-Hans"); QLocale wants "zh_Hans".
    return QLocale(QString(code).replace(u'-', u'_'));
}
