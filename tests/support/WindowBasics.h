#pragma once

#include "localization/LanguageManager.h"
#include "platform/NotificationCenter.h"
#include "platform/Preferences.h"
#include "platform/Scheduler.h"

#include "Patience.h"

#include <QTemporaryDir>

namespace testsupport {

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
