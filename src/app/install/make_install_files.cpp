// Makes the app's desktop entry and its polkit action from the string
// tables, at build time: each text in every language whose table has it.
//
//   make_install_files <lproj folder> <app path> <administrator tool path>
//                      <desktop entry out> <polkit action out>
//
// The desktop entry names the app, its icon and category, with the generic
// name, comment and search keywords in each language. The polkit action is
// the administrator tool's own: authentication as the administrator for
// every kind of session, never kept, and the tool's installed path as its
// exec.path, so pkexec shows this action's message for it and for nothing
// else.
#include "localization/StringsFile.h"

#include <QDir>
#include <QFile>
#include <QList>
#include <QString>

#include <cstdio>
#include <utility>

namespace {

const QString kFallback = QStringLiteral("en");

struct Text
{
    QString locale;   // empty: the untranslated text
    QString value;
};

// The locale name desktop entries and polkit use for a table's code.
QString localeOf(const QString &code)
{
    if (code == u"zh-Hans")
        return QStringLiteral("zh_CN");
    if (code == u"zh-Hant")
        return QStringLiteral("zh_TW");
    return QString(code).replace(u'-', u'_');
}

// The text of `key` in English (first, untranslated) and in every other table that has it.
QList<Text> textsOf(const QString &lproj, const QString &key, bool *ok)
{
    QList<Text> texts;
    const QDir root(lproj);
    const QStringList folders = root.entryList({QStringLiteral("*.lproj")}, QDir::Dirs, QDir::Name);
    for (const QString &folder : folders) {
        const QString code = folder.chopped(6);
        const StringsFileResult table = loadStringsFile(root.filePath(folder + QStringLiteral("/Localizable.strings")));
        const auto it = table.entries.constFind(key);
        if (it == table.entries.constEnd() || it->isEmpty())
            continue;
        if (code == kFallback)
            texts.prepend({QString(), *it});
        else
            texts.append({localeOf(code), *it});
    }
    if (texts.isEmpty() || !texts.constFirst().locale.isEmpty()) {
        std::fprintf(stderr, "make_install_files: the English table has no \"%s\"\n", qPrintable(key));
        *ok = false;
    }
    return texts;
}

QString desktopValue(QString text)
{
    text.replace(u'\\', QStringLiteral("\\\\")).replace(u'\n', QStringLiteral("\\n")).replace(u'\t', QStringLiteral("\\t"));
    return text.replace(u'\r', QStringLiteral("\\r"));
}

QString xmlText(const QString &text)
{
    return text.toHtmlEscaped();
}

bool write(const QString &path, const QString &contents)
{
    QFile file(path);
    const QByteArray bytes = contents.toUtf8();
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size())
        return true;
    std::fprintf(stderr, "make_install_files: cannot write %s: %s\n", qPrintable(path), qPrintable(file.errorString()));
    return false;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 6) {
        std::fprintf(stderr, "usage: %s <lproj folder> <app> <administrator tool> <desktop out> <policy out>\n", argv[0]);
        return 2;
    }
    const QString lproj = QFile::decodeName(argv[1]);
    const QString app = QFile::decodeName(argv[2]);
    const QString tool = QFile::decodeName(argv[3]);
    bool ok = true;

    QString desktop = QStringLiteral("[Desktop Entry]\nType=Application\nVersion=1.4\nName=Sweepbrook\n");
    for (const auto &[field, key] : {std::pair{QStringLiteral("GenericName"), QStringLiteral("desktop_generic_name")},
                                     std::pair{QStringLiteral("Comment"), QStringLiteral("desktop_comment")},
                                     std::pair{QStringLiteral("Keywords"), QStringLiteral("desktop_keywords")}}) {
        for (const Text &text : textsOf(lproj, key, &ok)) {
            // Keywords is a list: each keyword ends with ';'.
            const QString value = field == u"Keywords" && !text.value.endsWith(u';') ? text.value + u';' : text.value;
            desktop += field + (text.locale.isEmpty() ? QString() : u'[' + text.locale + u']') + u'='
                       + desktopValue(value) + u'\n';
        }
    }
    desktop += QStringLiteral("Exec=") + app + QStringLiteral("\nIcon=sweepbrook\nTerminal=false\nCategories=Utility;\n");

    QString policy = QStringLiteral(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<!DOCTYPE policyconfig PUBLIC \"-//freedesktop//DTD PolicyKit Policy Configuration 1.0//EN\"\n"
        " \"http://www.freedesktop.org/standards/PolicyKit/1/policyconfig.dtd\">\n"
        "<policyconfig>\n"
        "  <vendor>Sweepbrook</vendor>\n"
        "  <action id=\"org.sweepbrook.admin-clean\">\n");
    for (const auto &[element, key] : {std::pair{QStringLiteral("description"), QStringLiteral("polkit_admin_clean_description")},
                                       std::pair{QStringLiteral("message"), QStringLiteral("polkit_admin_clean_message")}}) {
        for (const Text &text : textsOf(lproj, key, &ok))
            policy += QStringLiteral("    <") + element
                      + (text.locale.isEmpty() ? QString() : QStringLiteral(" xml:lang=\"") + text.locale + u'"') + u'>'
                      + xmlText(text.value) + QStringLiteral("</") + element + QStringLiteral(">\n");
    }
    policy += QStringLiteral(
                  "    <icon_name>sweepbrook</icon_name>\n"
                  "    <defaults>\n"
                  "      <allow_any>auth_admin</allow_any>\n"
                  "      <allow_inactive>auth_admin</allow_inactive>\n"
                  "      <allow_active>auth_admin</allow_active>\n"
                  "    </defaults>\n"
                  "    <annotate key=\"org.freedesktop.policykit.exec.path\">")
              + xmlText(tool) + QStringLiteral("</annotate>\n  </action>\n</policyconfig>\n");

    if (!ok)
        return 1;
    return write(QFile::decodeName(argv[4]), desktop) && write(QFile::decodeName(argv[5]), policy) ? 0 : 1;
}
