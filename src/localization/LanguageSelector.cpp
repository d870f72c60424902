#include "localization/LanguageSelector.h"

#include "localization/LanguageManager.h"
#include "localization/Localization.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPainter>
#include <QSignalBlocker>
#include <QWheelEvent>

namespace {

constexpr int kIconFrameWidth = 24;
constexpr int kIconSize = 18;
constexpr int kPickerWidth = 120;
constexpr int kPadding = 10;
constexpr qreal kCornerRadius = 8;
const QColor kTint(0, 122, 255);

// The theme's locale symbol when there is one, else our own globe; either is
// drawn in one flat colour, as symbolic icons are meant to be.
QPixmap tintedGlobe(qreal devicePixelRatio)
{
    QIcon icon = QIcon::fromTheme(QStringLiteral("preferences-desktop-locale-symbolic"));
    if (icon.isNull())
        icon = QIcon(QStringLiteral(":/localization/icons/globe.svg"));
    const QSize size(kIconSize, kIconSize);
    QPixmap pixmap = icon.pixmap(size, devicePixelRatio);
    if (pixmap.isNull())
        return pixmap;
    QPainter painter(&pixmap);
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(pixmap.rect(), kTint);
    return pixmap;
}

// The picker sits in a scrolling sheet: a wheel turned over it scrolls the
// sheet, and changes the language only once the picker has the focus.
class Picker final : public QComboBox
{
public:
    using QComboBox::QComboBox;

protected:
    void wheelEvent(QWheelEvent *event) override
    {
        if (hasFocus())
            QComboBox::wheelEvent(event);
        else
            event->ignore();
    }
};

} // namespace

LanguageSelector::LanguageSelector(LanguageManager &manager, QWidget *parent)
    : QWidget(parent), m_manager(manager)
{
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(kPadding, kPadding, kPadding, kPadding);

    auto *globe = new QLabel(this);
    globe->setFixedWidth(kIconFrameWidth);
    globe->setAlignment(Qt::AlignCenter);
    globe->setPixmap(tintedGlobe(devicePixelRatioF()));
    layout->addWidget(globe, 0, Qt::AlignVCenter);

    // The label follows the desktop's language, not the chosen one.
    m_label = new QLabel(mainTableLocalized(QStringLiteral("Language")), this);
    m_label->setTextFormat(Qt::PlainText);
    QFont labelFont = m_label->font();
    labelFont.setWeight(QFont::Medium);
    m_label->setFont(labelFont);
    layout->addWidget(m_label, 0, Qt::AlignVCenter);

    m_picker = new Picker(this);
    m_picker->setFocusPolicy(Qt::StrongFocus);
    // At least 120 wide, and wide enough for the longest name: "Português
    // (Portuguese)" does not fit in 120.
    m_picker->setMinimumWidth(kPickerWidth);
    m_picker->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    for (const AppLanguage &language : AppLanguage::allCases())
        m_picker->addItem(language.displayName(), language.rawValue());
    layout->addWidget(m_picker, 0, Qt::AlignVCenter);

    syncFromManager();

    // `activated` comes only from the user, so showing the manager's choice
    // (syncFromManager) never sets the language again.
    connect(m_picker, &QComboBox::activated, this, [this](int index) {
        if (const auto language = AppLanguage::fromRawValue(m_picker->itemData(index).toString()))
            m_manager.setLanguage(*language);
    });
    connect(&m_manager, &LanguageManager::currentLanguageChanged, this, &LanguageSelector::syncFromManager);
}

void LanguageSelector::paintEvent(QPaintEvent *event)
{
    Q_UNUSED(event);
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QColor background = palette().color(QPalette::Button);
    background.setAlphaF(0.5f);
    painter.setPen(Qt::NoPen);
    painter.setBrush(background);
    painter.drawRoundedRect(QRectF(rect()), kCornerRadius, kCornerRadius);
}

void LanguageSelector::syncFromManager()
{
    const int index = m_picker->findData(m_manager.currentLanguage().rawValue());
    if (index == m_picker->currentIndex())
        return;
    const QSignalBlocker blocker(m_picker);
    m_picker->setCurrentIndex(index);
}
