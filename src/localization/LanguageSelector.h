#pragma once

#include <QWidget>

class LanguageManager;
class QComboBox;
class QLabel;

// The compact language picker of the settings sheet: a globe, the word
// "Language" (in the system language) and a menu of the 14 languages.
class LanguageSelector : public QWidget
{
    Q_OBJECT
public:
    explicit LanguageSelector(LanguageManager &manager, QWidget *parent = nullptr);

    QComboBox *picker() const { return m_picker; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void syncFromManager();

    LanguageManager &m_manager;
    QLabel *m_label = nullptr;
    QComboBox *m_picker = nullptr;
};
