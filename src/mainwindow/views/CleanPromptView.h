#pragma once

#include <QDialog>
#include <QString>

#include <functional>
#include <optional>

class LanguageManager;

// The sheet that offers, for a device just inserted, to scan it, clean it in
// one pass or ignore it. It knows nothing of devices: it runs the action it
// was given for the first choice and closes. Return chooses Scan, Escape Ignore.
class CleanPromptView : public QDialog
{
    Q_OBJECT
public:
    class Option
    {
    public:
        enum Value { scan, clean, ignore };
        constexpr Option(Value value) : m_value(value) {}   // NOLINT: implicit on purpose
        constexpr operator Value() const { return m_value; }  // NOLINT
        QString rawValue() const;
        static std::optional<Option> fromRawValue(const QString &raw);
        static QList<Option> allCases();

    private:
        Value m_value;
    };

    CleanPromptView(const QString &deviceName, std::function<void()> onScan, std::function<void()> onClean,
                    std::function<void()> onIgnore, LanguageManager &languageManager,
                    qreal optionCardMinHeight = 116, QWidget *parent = nullptr);
    ~CleanPromptView() override;

    QString deviceName() const;
    // The presenter's device may change (or go) while the prompt is up.
    void setDeviceName(const QString &deviceName);
    std::optional<Option> hoverOption() const;
    bool showContent() const;
    // The first choice; later choices are ignored.
    void choose(Option option);

    // Escape and the sheet's close button choose Ignore.
    void reject() override;

protected:
    void showEvent(QShowEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    bool handleKey(QKeyEvent *event);

    struct Impl;
    Impl *d;
};
