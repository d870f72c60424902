#pragma once

#include <QDateTime>
#include <QLocale>
#include <QString>

// Dates and times in the five styles desktop formatters offer, built from the
// locale's own patterns so every language reads the way its users expect:
//   short   the locale's short pattern ("1/5/24", "2024/1/5"; "3:04 PM")
//   medium  the long date without the weekday, month names abbreviated
//           ("Jan 5, 2024", "2024年1月5日"); the long time without the zone
//   long    the long date without the weekday; the long time
//   full    the long date with the weekday; the long time
// A style of `none` leaves that half out. The time is shown in local time.
enum class DateStyle { none, shortStyle, mediumStyle, longStyle, fullStyle };

class DateFormatter
{
public:
    DateFormatter(DateStyle dateStyle, DateStyle timeStyle, const QLocale &locale = QLocale());

    void setLocale(const QLocale &locale);
    const QLocale &locale() const { return m_locale; }
    // The Qt pattern used now ("MMM d, yyyy h:mm AP").
    const QString &pattern() const { return m_pattern; }

    QString string(const QDateTime &time) const;

private:
    DateStyle m_dateStyle;
    DateStyle m_timeStyle;
    QLocale m_locale;
    QString m_pattern;
};
