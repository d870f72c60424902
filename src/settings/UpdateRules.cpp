#include "settings/UpdateRules.h"

#include "localization/Localization.h"
#include "platform/Preferences.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcessEnvironment>

#include <limits>

namespace updates {

namespace {

QString trimmedBase(QString base)
{
    while (base.endsWith(u'/'))
        base.chop(1);
    return base;
}

bool isWebAddress(const QUrl &url)
{
    return url.isValid() && (url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https"))
        && !url.host().isEmpty();
}

std::optional<QUrl> webAddress(const QString &text)
{
    const QUrl url(text, QUrl::StrictMode);
    if (!isWebAddress(url))
        return std::nullopt;
    return url;
}

// A piece's optional sign and leading digits; 0 without digits, clamped to 64 bits.
qint64 pieceValue(QStringView piece)
{
    bool negative = false;
    qsizetype at = 0;
    if (!piece.isEmpty() && (piece[0] == u'+' || piece[0] == u'-')) {
        negative = piece[0] == u'-';
        ++at;
    }
    constexpr qint64 ceiling = std::numeric_limits<qint64>::max();
    qint64 value = 0;
    for (; at < piece.size() && piece[at] >= u'0' && piece[at] <= u'9'; ++at) {
        const int digit = piece[at].unicode() - u'0';
        value = value > (ceiling - digit) / 10 ? ceiling : value * 10 + digit;
    }
    return negative ? -value : value;
}

QList<qint64> versionNumbers(const QString &version)
{
    QList<qint64> numbers;
    for (QStringView piece : QStringView(version).split(u'.', Qt::SkipEmptyParts))
        numbers.append(pieceValue(piece));
    return numbers;
}

} // namespace

QString configuredBaseAddress(const Preferences &preferences, const QProcessEnvironment &environment)
{
    const QString fromEnvironment = environment.value(QString::fromLatin1(baseAddressVariable)).trimmed();
    if (!fromEnvironment.isEmpty())
        return fromEnvironment;
    const QString stored = preferences.stringValue(baseAddressPreference).value_or(QString()).trimmed();
    return stored.isEmpty() ? defaultBaseAddress : stored;
}

const QString &appBaseAddress()
{
    static const QString base = configuredBaseAddress(Preferences::standard(), QProcessEnvironment::systemEnvironment());
    return base;
}

QString versionEndpoint(const QString &baseAddress)
{
    return trimmedBase(baseAddress) + QStringLiteral("/api/version");
}

QString downloadPage(const QString &baseAddress)
{
    return trimmedBase(baseAddress) + QStringLiteral("/download");
}

std::optional<QUrl> requestAddress(const QString &endpoint, const QString &languageCode)
{
    return webAddress(endpoint + QStringLiteral("?lang=") + languageCode);
}

QString preferredLanguageCode(const QStringList &preferredLanguages)
{
    static const QStringList table = {
        QStringLiteral("zh-Hans"), QStringLiteral("zh-Hant"), QStringLiteral("zh"), QStringLiteral("ar"),
        QStringLiteral("de"),      QStringLiteral("es"),      QStringLiteral("fr"), QStringLiteral("it"),
        QStringLiteral("ja"),      QStringLiteral("ko"),      QStringLiteral("pl"), QStringLiteral("pt"),
        QStringLiteral("ru"),
    };
    const QString first = preferredLanguages.value(0, QStringLiteral("en"));
    if (table.contains(first))
        return first;
    if (table.contains(first.left(2)))
        return first.left(2);
    return QStringLiteral("en");
}

QString errorDescription(UpdateError error)
{
    switch (error) {
    case UpdateError::invalidURL:
        return localized(QStringLiteral("update_error_invalid_url"));
    case UpdateError::networkError:
        return localized(QStringLiteral("update_error_network"));
    case UpdateError::invalidResponse:
        break;
    }
    return localized(QStringLiteral("update_error_invalid_response"));
}

std::variant<VersionReply, UpdateError> parseVersionReply(int statusCode, const QByteArray &body,
                                                          const QString &downloadPage)
{
    if (statusCode != 200)
        return UpdateError::invalidResponse;
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(body, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject())
        return UpdateError::invalidResponse;
    const QJsonObject object = document.object();
    const QJsonValue version = object.value(QStringLiteral("version"));
    if (!version.isString())
        return UpdateError::invalidResponse;
    const QJsonValue whatsNew = object.value(QStringLiteral("whatsNew"));
    const QJsonValue downloadURL = object.value(QStringLiteral("downloadURL"));
    return VersionReply{version.toString(), whatsNew.isString() ? whatsNew.toString() : defaultWhatsNew,
                        downloadURL.isString() ? downloadURL.toString() : downloadPage};
}

bool isNewerVersion(const QString &offered, const QString &current)
{
    const QList<qint64> a = versionNumbers(offered);
    const QList<qint64> b = versionNumbers(current);
    for (qsizetype i = 0; i < std::max(a.size(), b.size()); ++i) {
        const qint64 left = a.value(i, 0);
        const qint64 right = b.value(i, 0);
        if (left != right)
            return left > right;
    }
    return false;
}

std::optional<QUrl> openableDownloadAddress(const QString &updateURL, const QString &downloadPage)
{
    if (auto url = webAddress(updateURL))
        return url;
    return webAddress(downloadPage);
}

} // namespace updates
