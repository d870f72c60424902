#pragma once

#include "localization/LanguageManager.h"
#include "platform/NotificationCenter.h"
#include "platform/Preferences.h"
#include "platform/Scheduler.h"

#include <QTemporaryDir>

namespace testsupport {

// How long a window test waits for what happens in real time (an X server's
// answers, a child process, a local server): it comes far sooner, unless the
// machine is loaded.
inline constexpr int kPatience = 20000;   // ms

// Private preferences, a notification centre, a language and virtual time.
struct WindowBasics
{
    QTemporaryDir dir;
    Preferences prefs{dir.filePath(QStringLiteral("prefs.json"))};
    NotificationCenter center;
    LanguageManager language{prefs, center};
    VirtualScheduler clock;
};

} // namespace testsupport
