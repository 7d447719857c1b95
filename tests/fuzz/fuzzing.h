#pragma once

#include <QByteArray>
#include <QCoreApplication>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

// What the fuzz targets share: the input as the server would hold it, a Qt
// application for what needs one, and failed expectations made crashes, which
// libFuzzer reports with the input that caused them.
namespace Fuzzing {

// A copy, not a view: the server's buffers end with a null byte, the fuzzer's do not.
inline QByteArray bytes(const uint8_t *data, size_t size)
{
    return QByteArray(reinterpret_cast<const char *>(data), int(size));
}

inline void startApplication(int *argc, char ***argv) { static QCoreApplication application(*argc, *argv); }

inline void expect(bool condition, const char *what)
{
    if (condition)
        return;
    std::fprintf(stderr, "expectation failed: %s\n", what);
    std::abort();
}

// Two texts that must be equal; where they differ is printed first.
inline void expectSame(const QByteArray &first, const QByteArray &second, const char *what)
{
    if (first == second)
        return;
    int at = 0;
    while (at < first.size() && at < second.size() && first.at(at) == second.at(at))
        ++at;
    const int from = qMax(0, at - 40);
    std::fprintf(stderr, "differ at byte %d:\n%s\n%s\n", at, first.mid(from, 120).toPercentEncoding(" <>=/\"").constData(),
                 second.mid(from, 120).toPercentEncoding(" <>=/\"").constData());
    expect(false, what);
}

} // namespace Fuzzing
