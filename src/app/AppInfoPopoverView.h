#pragma once

#include <QString>
#include <QUrl>
#include <QWidget>

// The About content: a header with the product name and a close button, a tab
// bar, and a scrolling page with the version, the main features, the
// copyright and two links. Shown in the About window and as a sheet of the
// main window. Its texts are those of the interface language when it is built.
class AppInfoPopoverView : public QWidget
{
    Q_OBJECT
public:
    enum class InfoTab { about };

    static inline const QUrl websiteURL{QStringLiteral("https://sweepbrook.example/")};
    static inline const QUrl supportEmailURL{QStringLiteral("mailto:support@sweepbrook.example")};

    explicit AppInfoPopoverView(QWidget *parent = nullptr);

    // The app's version from the build; "1.0.0" when the build gives none.
    static QString appVersion();
    InfoTab selectedTab() const { return m_selectedTab; }

signals:
    // The close button: the host decides what closing means.
    void dismissRequested();

private:
    InfoTab m_selectedTab = InfoTab::about;
};
