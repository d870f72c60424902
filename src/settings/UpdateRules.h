#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <optional>
#include <variant>

class Preferences;
class QProcessEnvironment;

// What the update check decides without a network: where it asks, which
// language it names, how it reads the reply and compares versions, and which
// download address it may open.
namespace updates {

// ---- The server ----
// The base address of the product's web site: the environment variable when
// set (manual runs), else the preference, else the placeholder.
inline const QString baseAddressPreference = QStringLiteral("updateServerURL");
inline constexpr char baseAddressVariable[] = "SWEEPBROOK_UPDATE_SERVER";
inline const QString defaultBaseAddress = QStringLiteral("https://sweepbrook.example");

QString configuredBaseAddress(const Preferences &preferences, const QProcessEnvironment &environment);
// The app's base address, read once, the first time it is asked for (the app
// asks at start).
const QString &appBaseAddress();

// "<base>/api/version" and "<base>/download" (a trailing "/" of the base is dropped).
QString versionEndpoint(const QString &baseAddress);
QString downloadPage(const QString &baseAddress);

// The request's address: the endpoint with "?lang=<code>". Nothing when it is
// not an absolute http or https address with a host.
std::optional<QUrl> requestAddress(const QString &endpoint, const QString &languageCode);

// ---- The request's language ----
// The first preferred language (BCP 47, most preferred first) as one of the
// 13 codes the server knows: the entry itself, else its first two characters,
// else "en" (also for an empty list).
QString preferredLanguageCode(const QStringList &preferredLanguages);

// ---- The reply ----
enum class UpdateError { invalidURL, networkError, invalidResponse };

// The description the settings sheet shows, in the interface language.
QString errorDescription(UpdateError error);

inline const QString defaultWhatsNew = QStringLiteral("Bug fixes and improvements");

struct VersionReply
{
    QString version;
    QString whatsNew;
    QString downloadURL;
};

// A reply of the server: status 200 and a JSON object whose "version" is a
// string; "whatsNew" and "downloadURL" default when absent or not strings.
// Anything else is `invalidResponse`.
std::variant<VersionReply, UpdateError> parseVersionReply(int statusCode, const QByteArray &body,
                                                          const QString &downloadPage);

// ---- Versions ----
// Whether `offered` is newer than `current`. Pieces are split at ".", empty
// pieces (doubled dots, a dot at either end) are skipped, and each other piece
// counts as its optional sign and leading digits (0 without digits) at its own
// position; a missing position counts as 0.
bool isNewerVersion(const QString &offered, const QString &current);

// ---- Opening the download ----
// The address the download button may open: `updateURL` when it is an absolute
// http or https address with a host, else the download page under the same
// rule, else nothing. Other schemes would start another program.
std::optional<QUrl> openableDownloadAddress(const QString &updateURL, const QString &downloadPage);

} // namespace updates
