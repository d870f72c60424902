#include "app/AppInfoManager.h"

#include "app/AboutWindowGeometry.h"
#include "app/AppInfoPopoverView.h"
#include "toolkit/Toolkit.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QMainWindow>
#include <QMouseEvent>
#include <QScreen>
#include <QScrollBar>
#include <QWindow>

namespace {

// Drags the window from any point of its background that is not a control.
class BackgroundDrag final : public QObject
{
public:
    explicit BackgroundDrag(QWidget *window) : QObject(window), m_window(window) {}

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        auto *widget = qobject_cast<QWidget *>(watched);
        if (!widget || widget->window() != m_window)
            return false;
        switch (event->type()) {
        case QEvent::MouseButtonPress: {
            auto *press = static_cast<QMouseEvent *>(event);
            if (press->button() != Qt::LeftButton || isControl(widget))
                return false;
            // The window manager moves it when it can; otherwise we follow the pointer.
            if (QWindow *handle = m_window->windowHandle(); handle && handle->startSystemMove())
                return true;
            m_grab = press->globalPosition().toPoint() - m_window->frameGeometry().topLeft();
            m_dragging = true;
            return true;
        }
        case QEvent::MouseMove:
            if (!m_dragging)
                return false;
            m_window->move(static_cast<QMouseEvent *>(event)->globalPosition().toPoint() - m_grab);
            return true;
        case QEvent::MouseButtonRelease:
            if (!m_dragging)
                return false;
            m_dragging = false;
            return true;
        default:
            return false;
        }
    }

private:
    // Buttons and scroll bars keep their own presses.
    static bool isControl(QWidget *widget)
    {
        for (QWidget *w = widget; w && !w->isWindow(); w = w->parentWidget()) {
            if (qobject_cast<QAbstractButton *>(w) || qobject_cast<QScrollBar *>(w))
                return true;
        }
        return false;
    }

    QWidget *m_window;
    QPoint m_grab;
    bool m_dragging = false;
};

// The app's main window, or else its first other shown window.
QWidget *firstAppWindow(const QWidget *except)
{
    QWidget *other = nullptr;
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (widget == except || !widget->isVisible() || !widget->isWindow())
            continue;
        if (qobject_cast<QMainWindow *>(widget))
            return widget;
        if (!other && widget->windowType() == Qt::Window)
            other = widget;
    }
    return other;
}

std::optional<QRect> areaOf(const QScreen *screen)
{
    if (!screen)
        return std::nullopt;
    return screen->availableGeometry();
}

void centreOnScreen(QWidget *window)
{
    const QScreen *screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return;
    QRect frame = window->frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    window->move(frame.topLeft());
}

} // namespace

AppInfoManager::AppInfoManager(QObject *parent) : QObject(parent)
{
}

AppInfoManager::~AppInfoManager()
{
    delete m_infoWindow;
}

QSize AppInfoManager::preferredWindowSize()
{
    return aboutgeometry::preferredWindowSize(areaOf(QGuiApplication::primaryScreen()));
}

void AppInfoManager::showInfoWindow(QWidget *anchor)
{
    // A previous window (closed or minimised) makes way for the new one.
    delete m_infoWindow;

    auto *window = new QWidget(nullptr, Qt::Window | Qt::WindowStaysOnTopHint);
    window->setObjectName(QStringLiteral("aboutWindow"));
    window->setWindowTitle(QStringLiteral("Sweepbrook"));
    auto *view = new AppInfoPopoverView(window);
    QVBoxLayout *stack = ui::vstack(window, 0);
    stack->addWidget(view);
    // Inside a window the view's close button closes the window, and so does Escape.
    connect(view, &AppInfoPopoverView::dismissRequested, window, &QWidget::close);
    auto *escape = new QAction(window);
    escape->setShortcut(Qt::Key_Escape);
    connect(escape, &QAction::triggered, window, &QWidget::close);
    window->addAction(escape);
    auto *drag = new BackgroundDrag(window);
    for (QWidget *child : window->findChildren<QWidget *>())
        child->installEventFilter(drag);
    window->installEventFilter(drag);
    m_infoWindow = window;
    m_infoView = view;

    // The view's own bounds win over the screen's share.
    stack->activate();
    window->resize(preferredWindowSize());
    positionWindow(anchor);
    window->show();
    window->raise();
    window->activateWindow();
}

void AppInfoManager::positionWindow(QWidget *anchor)
{
    QWidget *window = m_infoWindow;
    if (!window)
        return;
    QWidget *anchorWindow = anchor ? anchor->window() : firstAppWindow(window);
    if (!anchorWindow) {
        centreOnScreen(window);
        return;
    }
    const QSize frameSize = window->frameGeometry().size();
    window->move(aboutgeometry::windowOrigin(anchorWindow->frameGeometry(), frameSize, areaOf(anchorWindow->screen())));
}

void AppInfoManager::toggle()
{
    if (m_infoWindow && m_infoWindow->isVisible() && !m_infoWindow->isMinimized()) {
        m_infoWindow->close();
        delete m_infoWindow;
        return;
    }
    showInfoWindow(nullptr);
}
