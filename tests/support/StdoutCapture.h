#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdio>

#include <unistd.h>

namespace testsupport {

// Collects what the code under test prints on standard output.
class StdoutCapture
{
public:
    StdoutCapture()
    {
        std::fflush(stdout);
        m_file = std::tmpfile();
        m_saved = ::dup(STDOUT_FILENO);
        ::dup2(::fileno(m_file), STDOUT_FILENO);
    }
    ~StdoutCapture()
    {
        finish();
        if (m_file)
            std::fclose(m_file);
    }
    StdoutCapture(const StdoutCapture &) = delete;
    StdoutCapture &operator=(const StdoutCapture &) = delete;

    QStringList lines() { return QString::fromUtf8(bytes()).split(u'\n', Qt::SkipEmptyParts); }

    // What was printed, byte for byte.
    QByteArray bytes()
    {
        finish();
        std::rewind(m_file);
        QByteArray bytes;
        char buffer[4096];
        for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, m_file)) > 0;)
            bytes.append(buffer, qsizetype(n));
        return bytes;
    }

private:
    void finish()
    {
        if (m_saved < 0)
            return;
        std::fflush(stdout);
        ::dup2(m_saved, STDOUT_FILENO);
        ::close(m_saved);
        m_saved = -1;
    }
    std::FILE *m_file = nullptr;
    int m_saved = -1;
};

// Runs `call` with what it prints captured into *lines (when given), and
// returns what it returns. Nothing may be asserted while capturing: the
// test's own report goes to standard output too.
template <typename Call>
auto quietly(Call call, QStringList *lines = nullptr)
{
    StdoutCapture capture;
    auto result = call();
    const QStringList captured = capture.lines();
    if (lines)
        *lines = captured;
    return result;
}

} // namespace testsupport
