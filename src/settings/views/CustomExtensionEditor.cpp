#include "settings/views/CustomExtensionEditor.h"

#include "localization/Localization.h"
#include "mainwindow/SheetModels.h"
#include "toolkit/Motion.h"
#include "toolkit/Toolkit.h"
#include "settings/views/FileTypeSettingRow.h"
#include "settings/views/RemovableListView.h"
#include "settings/SettingsEditing.h"
#include "settings/views/SheetParts.h"

#include <QEvent>
#include <QLineEdit>
#include <QPainter>
#include <QStyle>

namespace {

constexpr int boxPadding = 8;
constexpr qreal boxRadius = 8;

// The look the field and its placeholder share: the text background, a thin
// outline, rounded corners.
void paintEntryBox(QWidget *widget)
{
    QPainter painter(widget);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(ui::color(ui::NamedColor::secondary, 0.2), 1));
    painter.setBrush(ui::color(ui::NamedColor::controlBackground));
    painter.drawRoundedRect(QRectF(widget->rect()).adjusted(0.5, 0.5, -0.5, -0.5), boxRadius, boxRadius);
}

// The field for a new suffix: the box itself, its symbol leading and the text
// after it, so that its focus ring goes round the box as the placeholder's
// does (a field inside a box would show none: it has no frame).
class EntryField final : public QLineEdit
{
public:
    explicit EntryField(const QString &text) : QLineEdit(text)
    {
        setFrame(false);
        QPalette clear = palette();
        clear.setColor(QPalette::Base, Qt::transparent);   // the box is the background
        setPalette(clear);
        m_symbol = new ui::SymbolLabel(QStringLiteral("doc.badge.plus"), ui::color(ui::NamedColor::secondary));
        m_symbol->setParent(this);
        m_symbol->setAttribute(Qt::WA_TransparentForMouseEvents);
        placeSymbol();
    }

protected:
    void paintEvent(QPaintEvent *event) override
    {
        paintEntryBox(this);
        QLineEdit::paintEvent(event);
        if (hasFocus()) {
            QPainter painter(this);
            const QRectF bounds(rect());
            ui::paintFocusRing(painter, bounds.adjusted(2, 2, -2, -2), boxRadius, bounds);
        }
    }
    void resizeEvent(QResizeEvent *event) override
    {
        QLineEdit::resizeEvent(event);
        placeSymbol();
    }
    void changeEvent(QEvent *event) override
    {
        QLineEdit::changeEvent(event);
        if (event->type() == QEvent::LayoutDirectionChange)
            placeSymbol();
    }

private:
    // The symbol at the leading side, the text's margins around it.
    void placeSymbol()
    {
        const QSize symbol = m_symbol->sizeHint();
        const QRect leading(boxPadding, (height() - symbol.height()) / 2, symbol.width(), symbol.height());
        m_symbol->setGeometry(QStyle::visualRect(layoutDirection(), rect(), leading));
        const int lead = boxPadding + symbol.width() + ui::defaultSpacing;
        const bool mirrored = layoutDirection() == Qt::RightToLeft;
        const QMargins margins(mirrored ? boxPadding : lead, boxPadding, mirrored ? lead : boxPadding, boxPadding);
        if (textMargins() != margins)
            setTextMargins(margins);
    }

    ui::SymbolLabel *m_symbol;
};

// Looks like an empty field; pressing it brings the field.
class Placeholder final : public QAbstractButton
{
public:
    explicit Placeholder(QWidget *parent = nullptr) : QAbstractButton(parent)
    {
        setCursor(Qt::PointingHandCursor);
        QHBoxLayout *row = ui::hstack(this, ui::defaultSpacing, ui::padding(boxPadding));
        row->addWidget(new ui::SymbolLabel(QStringLiteral("doc.badge.plus"), ui::color(ui::NamedColor::secondary)));
        QLabel *label = ui::text(localized(QStringLiteral("click_to_add_custom_extension")), ui::TextStyle::body,
                                 ui::NamedColor::secondary);
        setText(label->text());
        row->addWidget(label, 1);
        for (QWidget *child : findChildren<QWidget *>())
            child->setAttribute(Qt::WA_TransparentForMouseEvents);
        ui::reachableByTab(this, boxRadius);
    }
    QSize sizeHint() const override { return layout()->sizeHint(); }

protected:
    void paintEvent(QPaintEvent *) override { paintEntryBox(this); }
};

} // namespace

CustomExtensionEditor::CustomExtensionEditor(SettingsChoices &view, CustomExtensionEntry &entry, QWidget *parent)
    : QWidget(parent), m_view(view), m_entry(entry)
{
    setObjectName(QStringLiteral("customExtensionEditor"));
    QVBoxLayout *column = ui::vstack(this, 12);
    column->addWidget(sheetparts::sectionHeader(QStringLiteral("custom_clean")));

    QVBoxLayout *editor = ui::vstack(10);
    m_row = fileTypeSettingRow(FileType::custom);
    editor->addWidget(m_row);

    m_placeholder = new Placeholder;
    m_placeholder->setObjectName(QStringLiteral("customExtensionPlaceholder"));
    editor->addWidget(m_placeholder);

    m_inputRow = new QWidget;
    QHBoxLayout *input = ui::hstack(m_inputRow, 10);
    m_field = new EntryField(m_entry.text);
    m_field->setObjectName(QStringLiteral("customExtensionField"));
    m_field->setPlaceholderText(localized(QStringLiteral("enter_extension")));
    input->addWidget(m_field, 1);
    m_add = ui::prominentButton(QStringLiteral("add"), 12, 8);
    m_add->setObjectName(QStringLiteral("addCustomExtensionButton"));
    input->addWidget(m_add);
    editor->addWidget(m_inputRow);

    // The chips, or the hint that there are none, in one place (shown while
    // either is), so that one can give way to the other smoothly.
    m_chipsPlace = new QWidget;
    QVBoxLayout *place = ui::vstack(m_chipsPlace, 0);
    editor->addWidget(m_chipsPlace);
    m_chips = new RemovableListView(RemovableListView::Shape::chip);
    m_chips->setObjectName(QStringLiteral("customExtensionChips"));
    place->addWidget(m_chips);

    ui::RoundedBox *hint = sheetparts::emptyNotice(QStringLiteral("no_custom_extensions"), true);
    hint->setObjectName(QStringLiteral("noCustomExtensionsHint"));
    m_hint = hint;
    place->addWidget(hint);
    column->addLayout(editor);

    connect(m_row, &SwitchRow::switched, this, [this](bool on) {
        FileTypeSet selected = m_view.selectedFileTypes();
        settings::setFileType(selected, FileType::custom, on);
        m_view.setSelectedFileTypes(selected);
    });
    connect(m_row, &SwitchRow::infoRequested, this, &CustomExtensionEditor::infoRequested);
    connect(m_placeholder, &QAbstractButton::clicked, this, &CustomExtensionEditor::placeholderPressed);
    // Return adds nothing: only the button does.
    connect(m_field, &QLineEdit::textChanged, this, [this](const QString &text) {
        m_entry.text = text;
        m_add->setEnabled(settings::canAdd(text));
    });
    connect(m_add, &QAbstractButton::clicked, this, &CustomExtensionEditor::addCustomExtension);
    connect(m_chips, &RemovableListView::removeRequested, this, [this](const QString &suffix) {
        QStringList extensions = m_view.customExtensions();
        FileTypeSet selected = m_view.selectedFileTypes();
        if (!settings::removeCustomExtension(extensions, selected, suffix))
            return;
        m_view.setCustomExtensions(extensions);
        m_view.setSelectedFileTypes(selected);
    });
    m_add->setEnabled(settings::canAdd(m_entry.text));
    refresh();
}

void CustomExtensionEditor::addCustomExtension()
{
    QStringList extensions = m_view.customExtensions();
    FileTypeSet selected = m_view.selectedFileTypes();
    if (!settings::addCustomExtension(extensions, selected, m_field->text()))
        return;   // nothing usable, or listed: the text stays
    m_field->clear();
    m_view.setCustomExtensions(extensions);
    m_view.setSelectedFileTypes(selected);
}

void CustomExtensionEditor::refresh()
{
    const QStringList &extensions = m_view.customExtensions();
    m_row->setOn(m_view.selectedFileTypes().contains(FileType::custom));
    m_row->setSwitchEnabled(!extensions.isEmpty());
    m_placeholder->setVisible(!m_entry.fieldShown);
    m_inputRow->setVisible(m_entry.fieldShown);
    // A removed suffix goes with the default transition, its chip (or the line
    // of chips) drawn as it was; an added one and the field show at once.
    const ui::motion::Curve curve =
        extensions.size() < m_chips->items().size() ? ui::motion::standard : ui::motion::none;
    const bool chipsShown = !extensions.isEmpty();
    const bool hintShown = extensions.isEmpty() && m_entry.fieldShown;
    ui::motion::setShown(m_chipsPlace, chipsShown || hintShown, curve);
    ui::motion::setShown(m_chips, chipsShown, curve);
    ui::motion::setShown(m_hint, hintShown, curve);
    m_chips->setItems(extensions);
}
