#include "toolkit/Toolkit.h"

#include <QApplication>
#include <QCache>
#include <QEvent>
#include <QFileInfo>
#include <QHash>
#include <QIconEngine>
#include <QImage>
#include <QPainter>
#include <QStandardPaths>

#include <cmath>

// Symbols: the table from the views' names to images, the tinted pixmaps made
// from them (each made once, in device pixels, and kept in a bounded cache),
// the icon engine that draws a symbol at any size and ratio, and SymbolLabel.

namespace ui {

namespace {

// Symbol name -> freedesktop icon name, or "qrc:" and our own SVG where the
// theme has no fitting image.
const QHash<QString, QString> &symbolTable()
{
    static const QHash<QString, QString> table = {
        // junk kinds
        {QStringLiteral("doc.badge.gearshape"), QStringLiteral("document-properties-symbolic")},
        {QStringLiteral("doc.badge.ellipsis"), QStringLiteral("x-office-document-symbolic")},
        {QStringLiteral("magnifyingglass.circle"), QStringLiteral("system-search-symbolic")},
        {QStringLiteral("trash"), QStringLiteral("user-trash-symbolic")},
        {QStringLiteral("photo"), QStringLiteral("image-x-generic-symbolic")},
        {QStringLiteral("clock"), QStringLiteral("appointment-soon-symbolic")},
        {QStringLiteral("doc.text"), QStringLiteral("text-x-generic-symbolic")},
        {QStringLiteral("desktopcomputer"), QStringLiteral("computer-symbolic")},
        {QStringLiteral("doc.badge.plus"), QStringLiteral("document-new-symbolic")},
        // device kinds
        {QStringLiteral("externaldrive.fill"), QStringLiteral("drive-removable-media-symbolic")},
        {QStringLiteral("sdcard.fill"), QStringLiteral("media-flash-symbolic")},
        {QStringLiteral("externalhdd.fill"), QStringLiteral("drive-harddisk-usb-symbolic")},
        {QStringLiteral("ssd.fill"), QStringLiteral("drive-harddisk-solidstate-symbolic")},
        {QStringLiteral("network.fill"), QStringLiteral("network-server-symbolic")},
        {QStringLiteral("other.fill"), QStringLiteral("drive-multidisk-symbolic")},
        // the window
        {QStringLiteral("externaldrive.badge.plus"), QStringLiteral("qrc:externaldrive.badge.plus")},
        {QStringLiteral("externaldrive.badge.minus"), QStringLiteral("qrc:externaldrive.badge.minus")},
        {QStringLiteral("externaldrive.badge.checkmark"), QStringLiteral("qrc:externaldrive.badge.checkmark")},
        {QStringLiteral("checkmark"), QStringLiteral("object-select-symbolic")},
        {QStringLiteral("gear"), QStringLiteral("emblem-system-symbolic")},
        {QStringLiteral("clock.arrow.circlepath"), QStringLiteral("document-open-recent-symbolic")},
        {QStringLiteral("eject"), QStringLiteral("media-eject-symbolic")},
        {QStringLiteral("arrow.clockwise"), QStringLiteral("view-refresh-symbolic")},
        {QStringLiteral("checkmark.circle.fill"), QStringLiteral("emblem-ok-symbolic")},
        {QStringLiteral("exclamationmark.triangle.fill"), QStringLiteral("dialog-warning-symbolic")},
        {QStringLiteral("arrow.triangle.2.circlepath"), QStringLiteral("emblem-synchronizing-symbolic")},
        {QStringLiteral("magnifyingglass"), QStringLiteral("edit-find-symbolic")},
        {QStringLiteral("checkmark.seal.fill"), QStringLiteral("qrc:checkmark.seal.fill")},
        {QStringLiteral("lock.open.fill"), QStringLiteral("changes-allow-symbolic")},
        {QStringLiteral("trash.circle.fill"), QStringLiteral("qrc:trash.circle.fill")},
        {QStringLiteral("sparkles"), QStringLiteral("qrc:sparkles")},
        // the About window and the first-run guide
        {QStringLiteral("info.circle.fill"), QStringLiteral("dialog-information-symbolic")},
        {QStringLiteral("xmark.circle.fill"), QStringLiteral("qrc:xmark.circle.fill")},
        {QStringLiteral("shield.checkered"), QStringLiteral("security-medium-symbolic")},
        {QStringLiteral("checkmark.shield.fill"), QStringLiteral("security-high-symbolic")},
        {QStringLiteral("globe"), QStringLiteral(":/localization/icons/globe.svg")},   // the language picker's own
        // the update check
        {QStringLiteral("arrow.down.circle"), QStringLiteral("qrc:arrow.down.circle")},
        {QStringLiteral("arrow.down.circle.fill"), QStringLiteral("qrc:arrow.down.circle.fill")},
        {QStringLiteral("chevron.right"), QStringLiteral("go-next-symbolic")},
        // the history window
        {QStringLiteral("doc"), QStringLiteral("qrc:doc")},
        {QStringLiteral("flame"), QStringLiteral("qrc:flame")},
        {QStringLiteral("internaldrive"), QStringLiteral("drive-harddisk-symbolic")},
        {QStringLiteral("clock.badge.checkmark"), QStringLiteral("qrc:clock.badge.checkmark")},
        {QStringLiteral("arrow.left.circle"), QStringLiteral("qrc:arrow.left.circle")},
        // the settings sheet and the file-kind popover
        {QStringLiteral("info.circle"), QStringLiteral("qrc:info.circle")},
        {QStringLiteral("checkmark.shield"), QStringLiteral("security-high-symbolic")},
        {QStringLiteral("bolt"), QStringLiteral("thunderbolt-symbolic")},
    };
    return table;
}

// Symbols that point along the line of text: a right-to-left window draws them mirrored.
bool pointsAlongLine(const QString &symbol)
{
    return symbol == QLatin1String("chevron.right") || symbol == QLatin1String("arrow.left.circle");
}

// Each symbol's source icon, made once. A QIcon made anew for every drawing
// put entries into Qt's pixmap cache under keys never asked for again.
QIcon sourceIcon(const QString &symbol)
{
    static QHash<QString, QIcon> icons;   // at most one per listed symbol
    if (const auto it = icons.constFind(symbol); it != icons.cend())
        return *it;
    if (!symbolTable().contains(symbol))
        return {};
    ensureIconTheme();
    const QString source = symbolSource(symbol);
    const QIcon icon = source.startsWith(QLatin1String(":/")) ? QIcon(source) : QIcon::fromTheme(source);
    icons.insert(symbol, icon);
    return icon;
}

// The symbol as an image `side` device pixels square, in its own colours.
QImage sourceImage(const QString &symbol, int side)
{
    // Asked at a ratio of 1, the icon answers in device pixels whatever the
    // screen's ratio (asked without one it takes the application's).
    QImage image = sourceIcon(symbol).pixmap(QSize(side, side), 1.0).toImage();
    if (image.isNull())
        return {};
    image.setDevicePixelRatio(1.0);
    if (image.size() != QSize(side, side))
        image = image.scaled(side, side, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    return image;
}

struct PixmapKey
{
    QString symbol;
    QRgb tint;
    int pixelSize;
    qreal ratio;
    bool mirrored;

    bool operator==(const PixmapKey &o) const
    {
        return symbol == o.symbol && tint == o.tint && pixelSize == o.pixelSize && ratio == o.ratio
               && mirrored == o.mirrored;
    }
};

size_t qHash(const PixmapKey &key, size_t seed = 0)
{
    return qHashMulti(seed, key.symbol, key.tint, key.pixelSize, key.ratio, key.mirrored);
}

// The tinted pixmaps, by symbol, size, colour, ratio and direction; the
// least recently used go first once they hold more than this many bytes.
constexpr qsizetype kPixmapCacheBytes = 4 * 1024 * 1024;

QCache<PixmapKey, QPixmap> &pixmapCache()
{
    static QCache<PixmapKey, QPixmap> cache(kPixmapCacheBytes);
    return cache;
}

QPixmap tintedPixmap(const QString &symbol, const QColor &tint, int pixelSize, qreal ratio, bool mirrored)
{
    const int side = std::max(1, int(std::lround(pixelSize * ratio)));
    QImage image = sourceImage(symbol, side);
    if (image.isNull())
        return {};
    if (mirrored)
        image = image.mirrored(true, false);
    image = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    QPainter painter(&image);
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(image.rect(), tint);
    painter.end();
    QPixmap pixmap = QPixmap::fromImage(std::move(image));
    pixmap.setDevicePixelRatio(ratio);
    return pixmap;
}

// Draws a symbol in one colour at whatever size and ratio it is asked for;
// disabled, in the colour a disabled control shows it in.
class SymbolIconEngine final : public QIconEngine
{
public:
    SymbolIconEngine(const QString &symbol, const QColor &tint) : m_symbol(symbol), m_tint(tint) {}

    void paint(QPainter *painter, const QRect &rect, QIcon::Mode mode, QIcon::State) override
    {
        const int side = std::min(rect.width(), rect.height());
        const qreal ratio = painter->device() ? painter->device()->devicePixelRatio() : qApp->devicePixelRatio();
        const QPixmap image = symbolPixmap(m_symbol, tint(mode), side, ratio);
        painter->drawPixmap(QPointF(rect.x() + (rect.width() - side) / 2.0, rect.y() + (rect.height() - side) / 2.0),
                            image);
    }

    // In device pixels: QIcon asks for its size times the ratio, and marks the ratio itself.
    QPixmap pixmap(const QSize &size, QIcon::Mode mode, QIcon::State) override
    {
        return symbolPixmap(m_symbol, tint(mode), std::min(size.width(), size.height()));
    }

    QPixmap scaledPixmap(const QSize &size, QIcon::Mode mode, QIcon::State, qreal scale) override
    {
        const int side = std::min(size.width(), size.height());
        if (scale <= 1.0)
            return symbolPixmap(m_symbol, tint(mode), side);
        return symbolPixmap(m_symbol, tint(mode), int(std::lround(side / scale)), scale);
    }

    QSize actualSize(const QSize &size, QIcon::Mode, QIcon::State) override
    {
        const int side = std::min(size.width(), size.height());
        return {side, side};
    }

    QIconEngine *clone() const override { return new SymbolIconEngine(m_symbol, m_tint); }
    QString key() const override { return QStringLiteral("sweepbrook.symbol"); }
    bool isNull() override { return !symbolTable().contains(m_symbol); }

private:
    QColor tint(QIcon::Mode mode) const
    {
        return mode == QIcon::Disabled ? disabledColor(m_tint, color(NamedColor::windowBackground)) : m_tint;
    }

    QString m_symbol;
    QColor m_tint;
};

} // namespace

void ensureIconTheme()
{
    static bool done = false;
    if (done)
        return;
    done = true;
    if (QIcon::themeName().isEmpty() || QIcon::themeName() == QLatin1String("hicolor"))
        QIcon::setThemeName(QStringLiteral("Adwaita"));
    // Some platform plugins (offscreen, minimal) search only the resources:
    // add the desktop's icon folders.
    QStringList paths = QIcon::themeSearchPaths();
    const QStringList dataDirs = QStandardPaths::locateAll(QStandardPaths::GenericDataLocation, QStringLiteral("icons"),
                                                           QStandardPaths::LocateDirectory);
    for (const QString &dir : dataDirs + QStringList{QStringLiteral("/usr/share/icons")}) {
        if (!paths.contains(dir) && QFileInfo(dir).isDir())
            paths << dir;
    }
    QIcon::setThemeSearchPaths(paths);
    // Symbolic icons live in Adwaita even under another theme.
    if (QIcon::fallbackThemeName().isEmpty() || QIcon::fallbackThemeName() == QLatin1String("hicolor"))
        QIcon::setFallbackThemeName(QStringLiteral("Adwaita"));
}

QString symbolSource(const QString &symbol)
{
    const QString source = symbolTable().value(symbol);
    if (source.startsWith(QLatin1String("qrc:")))
        return QStringLiteral(":/symbols/") + source.mid(4) + QStringLiteral(".svg");
    return source;
}

QStringList knownSymbols()
{
    QStringList names = symbolTable().keys();
    names.sort();
    return names;
}

QPixmap symbolPixmap(const QString &symbol, const QColor &tint, int pixelSize, qreal devicePixelRatio,
                     Qt::LayoutDirection direction)
{
    if (pixelSize <= 0 || !symbolTable().contains(symbol))
        return {};
    const qreal ratio = devicePixelRatio > 0 ? devicePixelRatio : 1.0;
    const PixmapKey key{symbol, tint.rgba(), pixelSize, ratio, direction == Qt::RightToLeft && pointsAlongLine(symbol)};
    QCache<PixmapKey, QPixmap> &cache = pixmapCache();
    if (const QPixmap *kept = cache.object(key))
        return *kept;
    const QPixmap pixmap = tintedPixmap(symbol, tint, pixelSize, ratio, key.mirrored);
    const qsizetype bytes = qsizetype(pixmap.width()) * pixmap.height() * 4;
    if (!pixmap.isNull() && bytes <= kPixmapCacheBytes)
        cache.insert(key, new QPixmap(pixmap), std::max<qsizetype>(1, bytes));
    return pixmap;
}

qsizetype symbolPixmapCacheBytes()
{
    return pixmapCache().totalCost();
}

QIcon symbolIcon(const QString &symbol, const QColor &tint)
{
    return QIcon(new SymbolIconEngine(symbol, tint));
}

bool symbolDraws(const QString &symbol)
{
    const QImage image = symbolPixmap(symbol, Qt::black, 24).toImage();
    if (image.isNull())
        return false;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (qAlpha(image.pixel(x, y)) > 0)
                return true;
        }
    }
    return false;
}

SymbolLabel::SymbolLabel(const QString &symbol, const QColor &tint, qreal pointSize, QWidget *parent)
    : QLabel(parent), m_symbol(symbol), m_tint(tint), m_pointSize(pointSize)
{
    setAlignment(Qt::AlignCenter);
    render();
}

void SymbolLabel::setSymbol(const QString &symbol, const QColor &tint)
{
    if (symbol == m_symbol && tint == m_tint)
        return;
    m_symbol = symbol;
    m_tint = tint;
    render();
}

void SymbolLabel::setOpacity(qreal opacity)
{
    m_tint.setAlphaF(std::clamp(opacity, 0.0, 1.0));
    render();
}

void SymbolLabel::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::ScreenChangeInternal || event->type() == QEvent::LayoutDirectionChange)
        render();
    QLabel::changeEvent(event);
}

void SymbolLabel::render()
{
    // A symbol stands in a line of text: its image is about the font's size.
    const int pixels = std::max(8, int(std::lround(m_pointSize * 1.15)));
    setPixmap(symbolPixmap(m_symbol, m_tint, pixels, devicePixelRatioF(), layoutDirection()));
    setMinimumSize(pixels, pixels);
}

} // namespace ui
