// What `cmake --install` makes, staged with DESTDIR as a package would and
// under umask 077: the layout and modes, the list of what it made, the
// desktop entry (desktop-file-validate), the polkit action (xmllint against
// polkit's DTD). Then the real thing in private mount namespaces: the install
// and scripts/uninstall.sh over a prefix of their own, and a polkitd on a
// system bus of its own that reads the action (pkaction) while the app's
// clean, as an ordinary account, runs the installed tool through the real
// pkexec and removes root's junk from a stick.

#include "cleaning/SystemCleanHelper.h"
#include "localization/StringsFile.h"
#include "platform/ProcessRunner.h"
#include "BytePaths.h"
#include "MountFixture.h"
#include "TestMain.h"
#include "ToolRun.h"

#include <QDirIterator>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <sys/stat.h>
#include <unistd.h>

using namespace testsupport;

namespace {

const QString kAction = QStringLiteral("org.sweepbrook.admin-clean");

QString table(const QString &code, const QString &key)
{
    return loadStringsFile(QStringLiteral(SWEEPBROOK_SOURCE_DIR "/src/localization/lproj/") + code
                           + QStringLiteral(".lproj/Localizable.strings")).entries.value(key);
}

ProcessResult run(const QString &program, const QStringList &arguments, const QMap<QString, QString> &environment = {})
{
    ProcessRequest request;
    request.program = program;
    request.arguments = arguments;
    request.environment = environment;
    request.timeout = std::chrono::seconds(120);
    return runProcess(request);
}

QString outputOf(const ProcessResult &result)
{
    return QString::fromUtf8(result.standardOutput + result.standardError);
}

// In a mount namespace of its own: the staged polkit action where polkitd
// reads actions, the staged tools where they are installed, a rule that
// grants the account 65534 this one action (it stands in for the
// administrator's password), a system bus and polkitd of its own, the
// account's stick where the desktop mounts its media; then pkaction, a line
// "---", and the clean: clean_probe as 65534 with the installed tool behind
// /usr/bin/pkexec, the request from a file. Then a line "---" and the same as
// the account "daemon", which no rule grants anything: polkit wants the
// administrator's password, and no authentication agent runs to ask for it,
// nor a terminal (setsid).
//   script <stage> <tools dir> <work dir> <polkitd> <clean_probe> <request> <daemon's request> <stick>
const char kScript[] = R"script(set -u
stage=$1 tools=$2 work=$3 polkitd=$4 probe=$5 request=$6 unasked=$7 stick=$8
pids=
trap 'for p in $pids; do kill $p 2>/dev/null; done; wait' EXIT
fail() { echo "cannot: $*"; exit 77; }
asker=$(id -u daemon) || fail "no account daemon"
mount --bind "$stage/usr/share/polkit-1/actions" /usr/share/polkit-1/actions || fail "mount the actions"
top=$tools
while [ ! -d "$top" ]; do top=$(dirname "$top"); done
case $top in /|/usr|/usr/bin|/usr/lib|/usr/share|/bin|/lib|/etc) fail "stage $tools over $top";; esac
mount -t tmpfs -o mode=755 tmpfs "$top" && mkdir -p "$tools" && mount --bind "$stage$tools" "$tools" || fail "mount the tools"
mount -t tmpfs -o mode=755 tmpfs /media && mkdir -p /media/nobody/STICK && mount --bind "$stick" /media/nobody/STICK || fail "mount the stick"
mkdir -p "$work/rules" && chmod 755 "$work/rules"
cat > "$work/rules/50-test.rules" <<'EOF'
polkit.addRule(function(action, subject) {
    if (action.id == "org.sweepbrook.admin-clean" && subject.user == "nobody")
        return polkit.Result.YES;
});
EOF
chmod 644 "$work/rules/50-test.rules"
mkdir -p /etc/polkit-1/rules.d && mount --bind "$work/rules" /etc/polkit-1/rules.d || fail "mount the rules"
mount -t tmpfs -o mode=755 tmpfs /run/dbus 2>/dev/null || { mkdir -p /run/dbus && mount -t tmpfs -o mode=755 tmpfs /run/dbus; } || fail "mount /run/dbus"
cat > "$work/bus.conf" <<'EOF'
<busconfig><type>system</type><listen>unix:path=/run/dbus/system_bus_socket</listen><auth>EXTERNAL</auth><policy context="default"><allow user="*"/><allow own="*"/><allow send_type="method_call"/><allow send_requested_reply="true"/><allow receive_type="method_call"/><allow receive_type="method_return"/><allow receive_type="error"/><allow receive_type="signal"/></policy></busconfig>
EOF
unset DBUS_SYSTEM_BUS_ADDRESS
dbus-daemon --config-file="$work/bus.conf" --nofork & pids="$pids $!"
"$polkitd" --no-debug >"$work/polkitd.log" 2>&1 & pids="$pids $!"
deadline=$(($(date +%s) + 60))   # polkitd starts a JavaScript engine first: seconds on a loaded machine
until pkaction --action-id org.sweepbrook.admin-clean >/dev/null 2>&1; do
    [ "$(date +%s)" -lt $deadline ] || fail "polkitd did not answer: $(cat "$work/polkitd.log")"; sleep 0.1
done
pkaction --action-id org.sweepbrook.admin-clean --verbose
echo ---
setpriv --reuid=65534 --regid=65534 --clear-groups "$probe" clean "$tools/sweepbrook-admin-clean" /usr/bin/pkexec < "$request"
status=$?
echo ---
setpriv --reuid="$asker" --regid="$asker" --clear-groups setsid -w "$probe" clean "$tools/sweepbrook-admin-clean" \
    /usr/bin/pkexec < "$unasked" 2>&1
exit $status
)script";

// In a mount namespace of its own, over an empty prefix holding only an empty
// bin/ and another app's desktop entry: the real install under umask 077,
// build/ hidden, then the removal given a list it must not trust (written by
// others, not root's, a folder above it writable by others, naming a file
// outside the prefix): a line "<case> <exit status> kept|changed" for each;
// then the removal itself, a line "removed <exit status>", and what is left
// of the prefix and the polkit folder after a line "---". Before it, a run
// that must leave a file (a folder stands at its name) keeps the list:
// "stuck <exit status> listed".
//   script <cmake> <build> <source> <prefix> <polkit actions folder> <work dir>
const char kUninstallScript[] = R"script(set -u
cmake=$1 build=$2 source=$3 prefix=$4 polkit=$5 work=$6
fail() { echo "cannot: $*"; exit 77; }
[ -d "$polkit" ] || fail "$polkit is missing (polkit is not installed)"
top=$prefix
while [ ! -d "$top" ]; do top=$(dirname "$top"); done
case $top in /|/usr|/usr/bin|/usr/lib|/usr/share|/bin|/lib|/etc) fail "stage $prefix over $top";; esac
case $cmake in "$top"/*) fail "$cmake is inside $top";; esac
mount -t tmpfs -o mode=755 tmpfs "$top" && mount -t tmpfs -o mode=755 tmpfs "$polkit" || fail "mount the prefix"
mkdir -p "$prefix/bin" "$prefix/share/applications" && echo x > "$prefix/share/applications/other.desktop"
(umask 077 && "$cmake" --install "$build" >/dev/null) || exit 1
mount -t tmpfs tmpfs "$build" || fail "hide $build"
list=$(find "$prefix" -name installed_files.txt)
if [ "$prefix" = /usr/local ]; then set --; else set -- "$prefix"; fi
installed=$(find "$top" "$polkit" | sort)
echo x > "$work/victim"
try() {
    bash "$source/scripts/uninstall.sh" "$@" >/dev/null 2>&1
    status=$?
    [ "$(find "$top" "$polkit" | sort)" = "$installed" ] && [ -f "$work/victim" ] && echo "$what $status kept" || echo "$what $status changed"
}
what=writable; chmod 646 "$list"; try "$@"; chmod 644 "$list"
what=not-roots; chown 65534 "$list"; try "$@"; chown 0 "$list"
what=folder-above; chmod 757 "$prefix/share"; try "$@"; chmod 755 "$prefix/share"
what=outside; cp "$list" "$work/list"; echo "$work/victim" >> "$list"; try "$@"; cp "$work/list" "$list"
entry=$(grep '\.desktop$' "$list" | head -n 1); rm -f "$entry"; mkdir "$entry"
bash "$source/scripts/uninstall.sh" "$@" >/dev/null 2>&1
echo "stuck $? $([ -f "$list" ] && echo listed || echo unlisted)"; rmdir "$entry"
bash "$source/scripts/uninstall.sh" "$@" >/dev/null
echo "removed $?"
echo ---
find "$prefix" "$polkit" | sort
)script";

} // namespace

class TestInstall : public QObject
{
    Q_OBJECT

    QTemporaryDir m_stage;

    QByteArray staged(const QString &path) const { return QFile::encodeName(m_stage.path() + path); }

private slots:
    void initTestCase()
    {
        QVERIFY(m_stage.isValid() && ::chmod(QFile::encodeName(m_stage.path()), 0755) == 0);
        // The tools' folder as an install under umask 077 left it before.
        QVERIFY(QDir().mkpath(m_stage.path() + QStringLiteral(SWEEPBROOK_TOOLS_DIR))
                && ::chmod(staged(QStringLiteral(SWEEPBROOK_TOOLS_DIR)).constData(), 0700) == 0);
        const mode_t umask = ::umask(077);   // a careful administrator's
        const ProcessResult result = run(QStringLiteral(SWEEPBROOK_CMAKE), {QStringLiteral("--install"), QStringLiteral(SWEEPBROOK_BUILD_DIR)},
                                         {{QStringLiteral("DESTDIR"), m_stage.path()}});
        ::umask(umask);
        QVERIFY2(result.succeeded(), qPrintable(outputOf(result)));
    }

    // Everything in its place and nothing else; installed as root, all of it
    // root's, and nothing writable by anyone else, nor closed to them (the
    // tools' folder left 0700 too). The list of installed files names each
    // file and each folder the install made: all but those above the tools'.
    void layoutAndModes()
    {
        const QString prefix = QStringLiteral(SWEEPBROOK_PREFIX);
        const QString tools = QStringLiteral(SWEEPBROOK_TOOLS_DIR);
        QMap<QString, mode_t> expected = {
            {QStringLiteral(SWEEPBROOK_BINDIR "/sweepbrook"), 0755},
            {tools + QStringLiteral("/sweepbrook-admin-clean"), 0755},
            {tools + QStringLiteral("/dot_clean"), 0755},
            {QStringLiteral(SWEEPBROOK_DATADIR "/applications/sweepbrook.desktop"), 0644},
            {QStringLiteral(SWEEPBROOK_DATADIR "/icons/hicolor/scalable/apps/sweepbrook.svg"), 0644},
            {QStringLiteral(SWEEPBROOK_POLKIT_ACTIONS_DIR "/org.sweepbrook.admin-clean.policy"), 0644},
            {QStringLiteral(SWEEPBROOK_DATADIR "/sweepbrook/installed_files.txt"), 0644},
        };
        const QDir lproj(QStringLiteral(SWEEPBROOK_SOURCE_DIR "/src/localization/lproj"));
        for (const QString &folder : lproj.entryList({QStringLiteral("*.lproj")}, QDir::Dirs))
            expected.insert(QStringLiteral(SWEEPBROOK_DATADIR "/sweepbrook/lproj/") + folder + QStringLiteral("/Localizable.strings"), 0644);
        QVERIFY(expected.size() > 10 && tools.startsWith(prefix + u'/'));

        QMap<QString, mode_t> found;
        QStringList listed = expected.keys();
        listed.removeAll(QStringLiteral(SWEEPBROOK_DATADIR "/sweepbrook/installed_files.txt"));
        QDirIterator it(m_stage.path(), QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            struct stat st{};
            QVERIFY(::lstat(QFile::encodeName(path).constData(), &st) == 0);
            QVERIFY2(::geteuid() != 0 || st.st_uid == 0, qPrintable(path));
            if (S_ISDIR(st.st_mode)) {
                QVERIFY2((st.st_mode & 07777) == 0755, qPrintable(path));
                if (!tools.startsWith(path.mid(m_stage.path().size()) + u'/'))   // not those above the tools' folder
                    listed.append(path.mid(m_stage.path().size()) + u'/');
            } else {
                found.insert(path.mid(m_stage.path().size()), st.st_mode & 07777);
            }
        }
        QCOMPARE(found, expected);
        QStringList list = QString::fromUtf8(readFile(staged(QStringLiteral(SWEEPBROOK_DATADIR "/sweepbrook/installed_files.txt"))))
                               .split(u'\n', Qt::SkipEmptyParts);
        list.sort();
        listed.sort();
        QCOMPARE(list, listed);
    }

    // The real install and its removal, with build/ gone: a list it cannot
    // trust removes nothing; then every file goes, and every folder the
    // install made, while the folders it found stay, empty or not.
    void uninstall()
    {
        if (::geteuid() != 0 || findExecutable(QStringLiteral("unshare")).isEmpty())
            QSKIP("installing over a prefix of its own needs root and unshare (util-linux)");
        QTemporaryDir work;
        QVERIFY(work.isValid() && ::chmod(QFile::encodeName(work.path()), 0755) == 0);
        const QString script = work.filePath(QStringLiteral("script.sh"));
        QVERIFY(writeFile(QFile::encodeName(script), kUninstallScript));
        const QString prefix = QStringLiteral(SWEEPBROOK_PREFIX), polkit = QStringLiteral(SWEEPBROOK_POLKIT_ACTIONS_DIR);
        const ProcessResult result = run(findExecutable(QStringLiteral("unshare")),
                                         {QStringLiteral("-m"), QStringLiteral("--propagation"), QStringLiteral("private"),
                                          QStringLiteral("sh"), script, QStringLiteral(SWEEPBROOK_CMAKE), QStringLiteral(SWEEPBROOK_BUILD_DIR),
                                          QStringLiteral(SWEEPBROOK_SOURCE_DIR), prefix, polkit, work.path()});
        const QString output = outputOf(result);
        if (result.exitCode == 77)
            QSKIP(qPrintable(QStringLiteral("this machine cannot stage the install: ") + output));
        QVERIFY2(result.succeeded(), qPrintable(output));
        QCOMPARE(output.section(QStringLiteral("---\n"), 0, 0),
                 QStringLiteral("writable 1 kept\nnot-roots 1 kept\nfolder-above 1 kept\noutside 1 kept\nstuck 1 listed\n"
                                "removed 0\n"));
        QStringList left = {prefix, prefix + QStringLiteral("/bin"), prefix + QStringLiteral("/share"),
                            prefix + QStringLiteral("/share/applications"),
                            prefix + QStringLiteral("/share/applications/other.desktop"), polkit};
        left.sort();
        QCOMPARE(output.section(QStringLiteral("---\n"), 1).split(u'\n', Qt::SkipEmptyParts), left);
    }

    // The desktop entry passes desktop-file-validate (where the machine has
    // it) and carries the tables' texts: search keywords too, in each
    // language it has a name in.
    void desktopEntry()
    {
        const QByteArray entry = staged(QStringLiteral(SWEEPBROOK_DATADIR "/applications/sweepbrook.desktop"));
        if (const QString validate = findExecutable(QStringLiteral("desktop-file-validate")); !validate.isEmpty()) {
            const ProcessResult result = run(validate, {QFile::decodeName(entry)});
            QVERIFY2(result.succeeded() && result.standardOutput.isEmpty(), qPrintable(outputOf(result)));
        }
        const QStringList lines = QString::fromUtf8(readFile(entry)).split(u'\n');
        for (const QString &line : {QStringLiteral("Exec=" SWEEPBROOK_BINDIR "/sweepbrook"), QStringLiteral("Icon=sweepbrook"),
                                    QStringLiteral("Categories=Utility;"), QStringLiteral("Type=Application"),
                                    QStringLiteral("GenericName=") + table(QStringLiteral("en"), QStringLiteral("desktop_generic_name")),
                                    QStringLiteral("GenericName[zh_CN]=") + table(QStringLiteral("zh-Hans"), QStringLiteral("desktop_generic_name")),
                                    QStringLiteral("Comment=") + table(QStringLiteral("en"), QStringLiteral("desktop_comment")),
                                    QStringLiteral("Comment[zh_CN]=") + table(QStringLiteral("zh-Hans"), QStringLiteral("desktop_comment")),
                                    QStringLiteral("Keywords=") + table(QStringLiteral("en"), QStringLiteral("desktop_keywords"))})
            QVERIFY2(lines.contains(line) && !line.endsWith(u'='), qPrintable(line));
        // The locales ("" for none) of the field's lines whose value matches.
        const auto localesOf = [&lines](const char *field, const char *value) {
            const QRegularExpression pattern(QStringLiteral("^%1(\\[[^]]+\\])?=%2$").arg(QLatin1String(field), QLatin1String(value)));
            QStringList locales;
            for (const QString &line : lines) {
                if (const QRegularExpressionMatch match = pattern.match(line); match.hasMatch())
                    locales.append(match.captured(1));
            }
            return locales;
        };
        QCOMPARE(localesOf("GenericName", ".+").size(), 13);
        QCOMPARE(localesOf("Keywords", "([^;]+;)+"), localesOf("GenericName", ".+"));
    }

    // The polkit action is valid by polkit's own DTD: the administrator's
    // password for every kind of session, never kept, for the installed tool
    // alone, its texts in the tables' languages.
    void polkitAction()
    {
        const QByteArray action = staged(QStringLiteral(SWEEPBROOK_POLKIT_ACTIONS_DIR "/org.sweepbrook.admin-clean.policy"));
        const QString xmllint = findExecutable(QStringLiteral("xmllint"));
        const QString dtd = QStringLiteral("/usr/share/polkit-1/policyconfig-1.dtd");
        if (xmllint.isEmpty() || !QFileInfo::exists(dtd))
            QSKIP("xmllint (libxml2-utils) or polkit's DTD is not installed");
        const ProcessResult result = run(xmllint, {QStringLiteral("--noout"), QStringLiteral("--dtdvalid"), dtd, QFile::decodeName(action)});
        QVERIFY2(result.succeeded(), qPrintable(outputOf(result)));
        const QString text = QString::fromUtf8(readFile(action));
        QCOMPARE(text.count(QStringLiteral("<allow_any>auth_admin</allow_any>")) + text.count(QStringLiteral("<allow_inactive>auth_admin</allow_inactive>"))
                     + text.count(QStringLiteral("<allow_active>auth_admin</allow_active>")), 3);
        QVERIFY(!text.contains(QStringLiteral("auth_admin_keep")) && text.count(QStringLiteral("<action ")) == 1);
        QVERIFY(text.contains(QStringLiteral("<annotate key=\"org.freedesktop.policykit.exec.path\">")
                              + SystemCleanHelper::installedTool(QStringLiteral("sweepbrook-admin-clean")) + QStringLiteral("</annotate>")));
        QVERIFY(text.contains(QStringLiteral("<message xml:lang=\"zh_CN\">") + table(QStringLiteral("zh-Hans"), QStringLiteral("polkit_admin_clean_message"))));
    }

    // The real polkitd and pkexec: the action is read as installed, and the
    // app's clean, as an ordinary account, runs the installed tool as root
    // and removes root's junk from a stick.
    void realPolkitAndPkexec()
    {
        const QString polkitd = QFileInfo::exists(QStringLiteral("/usr/lib/polkit-1/polkitd")) ? QStringLiteral("/usr/lib/polkit-1/polkitd")
                                                                                              : QStringLiteral("/usr/libexec/polkitd");
        struct stat pkexec{};
        if (::geteuid() != 0)
            QSKIP("a private polkitd and mount namespace need root");
        for (const char *tool : {"unshare", "dbus-daemon", "pkaction", "setpriv"}) {
            if (findExecutable(QLatin1String(tool)).isEmpty())
                QSKIP(qPrintable(QStringLiteral("%1 is not installed").arg(QLatin1String(tool))));
        }
        if (!QFileInfo::exists(polkitd) || ::stat("/usr/bin/pkexec", &pkexec) != 0 || !(pkexec.st_mode & S_ISUID))
            QSKIP("polkitd or a setuid /usr/bin/pkexec is not installed");
        if (const QString why = whyNotAsNobody(QStringLiteral(SWEEPBROOK_CLEAN_PROBE)); !why.isEmpty())
            QSKIP(qPrintable(why));
        MountFixture fixture;
        const QByteArray root = fixture.mountReachable(MountFixture::Kind::Ext4);
        if (root.isEmpty())
            QSKIP(qPrintable(fixture.lastError()));
        QVERIFY(makeTree(root, {"Thumbs.db", "photo.jpg", "desktop.ini"}));   // root's: the account needs the administrator
        // The account's own stick image, as the desktop would have set it up for it.
        QVERIFY(::chown(QFile::encodeName(fixture.path() + QStringLiteral("/image-1.img")), 65534, 65534) == 0);
        QTemporaryDir work;
        const QString request = work.filePath(QStringLiteral("request"));
        const QString unasked = work.filePath(QStringLiteral("unasked"));
        const QString script = work.filePath(QStringLiteral("script.sh"));
        QVERIFY(writeFile(QFile::encodeName(request),
                          requestFor(root, scannedItems({"Thumbs.db"}, root), "/media/nobody/STICK").encode())
                && writeFile(QFile::encodeName(unasked), requestFor(root, scannedItems({"desktop.ini"}, root)).encode())
                && writeFile(QFile::encodeName(script), kScript));

        const ProcessResult result = run(findExecutable(QStringLiteral("unshare")),
                                         {QStringLiteral("-m"), QStringLiteral("--propagation"), QStringLiteral("private"),
                                          QStringLiteral("sh"), script, m_stage.path(), QStringLiteral(SWEEPBROOK_TOOLS_DIR),
                                          work.path(), polkitd, QStringLiteral(SWEEPBROOK_CLEAN_PROBE), request, unasked,
                                          QFile::decodeName(root)});
        const QString output = outputOf(result);
        if (result.exitCode == 77)
            QSKIP(qPrintable(QStringLiteral("this machine cannot run a private polkitd: ") + output));
        const QString pkaction = output.section(QStringLiteral("\n---\n"), 0, 0);
        for (const char *line : {"implicit any:\\s+auth_admin\\n", "implicit inactive:\\s+auth_admin\\n", "implicit active:\\s+auth_admin\\n"})
            QVERIFY2(pkaction.contains(QRegularExpression(QLatin1String(line))), qPrintable(output));
        QVERIFY2(pkaction.contains(QStringLiteral("org.freedesktop.policykit.exec.path -> ")
                                   + SystemCleanHelper::installedTool(QStringLiteral("sweepbrook-admin-clean"))), qPrintable(output));
        const QString clean = output.section(QStringLiteral("\n---\n"), 1, 1);
        QVERIFY2(result.succeeded() && clean.contains(QStringLiteral("File requires privileges"))
                     && clean.contains(QRegularExpression(QStringLiteral("(^|\n)removed 0(\n|$)"))),
                 qPrintable(output));
        QVERIFY(!exists(root + "/Thumbs.db") && exists(root + "/photo.jpg"));

        // No agent to ask for the password: the item fails for that, and the
        // user hears that (not that system files resisted the administrator).
        const QString notAsked = output.section(QStringLiteral("\n---\n"), 2);
        QVERIFY2(notAsked.contains(QStringLiteral("Error creating textual authentication agent"))
                     && notAsked.contains(QStringLiteral("administrator password dialog not shown"))
                     && notAsked.contains(QStringLiteral("\nfailed 0 %1\n").arg(SystemCleanHelper::noAuthenticationAgent)),
                 qPrintable(output));
        QVERIFY(exists(root + "/desktop.ini"));
    }
};

SWEEPBROOK_TEST_MAIN(TestInstall)
#include "test_install.moc"
