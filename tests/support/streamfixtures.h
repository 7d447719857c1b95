#pragma once

// The values behind tests/runtime/data and tests/archives/data, written by the
// version-1 stream encoder in the zone Europe/Berlin. The files prove that data
// of that version still reads back: do not change these functions.

#include "samevalue.h"
#include "zeltotable.h"

#include <QDateTime>
#include <QStringList>
#include <QTimeZone>

#include <limits>

namespace StreamFixtures {

inline QDateTime local(int y, int m, int d, int h, int min, int s = 0, int ms = 0)
{
    return QDateTime(QDate(y, m, d), QTime(h, min, s, ms), Qt::LocalTime);
}

// Every tag and every kind of table column.
inline QVariant values()
{
    QVariantList scalars{ QVariant(), true, false, 0, -123456, 4000000000u, -(1LL << 40), ~0ULL, 2.5, -0.0,
                          fromBits(0x7ff8000000012345ULL), std::numeric_limits<double>::infinity(),
                          std::numeric_limits<double>::denorm_min(), QString(), QStringLiteral(""),
                          QStringLiteral("Тепловычислитель №3"), QByteArray(), QByteArray("a\0b", 3),
                          QDate(2024, 2, 29), QDate(), QTime(23, 59, 59, 999), QTime(), QDateTime(),
                          local(2021, 10, 31, 2, 30), QDateTime(QDate(1969, 12, 31), QTime(23, 59), Qt::UTC),
                          QDateTime(QDate(2024, 1, 2), QTime(3, 4, 5, 6), Qt::OffsetFromUTC, 3 * 3600),
                          QDateTime(QDate(2010, 7, 1), QTime(12, 0), QTimeZone("Europe/Moscow")),
                          QVariant::fromValue(char('\xfe')), QChar(0x0416),
                          QVariant::fromValue(ZeltoOutOfRange()), QVariant::fromValue(ZeltoUnused()),
                          QVariant(QVariant::Int), QVariant(QVariant::Double), QVariant(QVariant::List),
                          QStringList{ QStringLiteral("a"), QString() } };

    ZeltoTable table(QStringList{ "date", "utc", "day", "time", "flag", "int", "uint", "long", "ulong", "double",
                                  "text", "bytes", "char", "qchar", "mixed", "empty" });
    for (int r = 0; r < 21; ++r) {
        QVariantList row{ r == 4 ? QVariant() : QVariant(local(2024, 3, 30, 0, 0).addSecs(3600LL * r)),
                          QDateTime::fromMSecsSinceEpoch(1700000000000LL + r * 61000LL, Qt::UTC),
                          QDate(2020, 1, 1).addDays(r * 29), QTime(r, r, r), r % 3 == 0, r * 1000 - 7000,
                          uint(r) * 300000000u, (1LL << 50) - r, ~0ULL - ulong(r),
                          r % 5 == 2 ? QVariant() : QVariant(r * 0.25 - 2),
                          r % 4 == 0 ? QVariant(QString()) : QVariant(QStringLiteral("узел %1").arg(r)),
                          QByteArray(r % 3, char('a' + r)), QVariant::fromValue(char(r)), QChar(0x0400 + r),
                          r % 4 == 0   ? QVariant::fromValue(ZeltoOutOfRange())
                          : r % 4 == 1 ? QVariant(QVariant::Double)
                          : r % 4 == 2 ? QVariant(QVariantList{ r, QStringLiteral("x") })
                                       : QVariant(r * 0.1),
                          QVariant() };
        table.appendRow(r % 7 == 6 ? row.mid(0, 5) : row);   // a short row every seventh
    }
    const ZeltoTableMap tables{ { QStringLiteral("rows"), table }, { QStringLiteral("none"), ZeltoTable() } };
    return QVariantMap{ { QStringLiteral("scalars"), scalars }, { QStringLiteral("table"), QVariant::fromValue(table) },
                        { QStringLiteral("tables"), QVariant::fromValue(tables) } };
}

// An archive with the awkward cells of real data: the autumn clock change, several
// precisions, a counter, gaps, specials, a typed null, markers, 64-bit noise.
inline ZeltoTable archive()
{
    ZeltoTable table(QStringList{ "date", "S1_t1", "S1_V1", "S1_P1", "special", "marked", "gaps", "noise", "NS" });
    quint64 state = 88172645463325252ULL;
    const double specials[] = { -0.0, fromBits(0x7ff8000000000001ULL), -std::numeric_limits<double>::infinity(),
                                std::numeric_limits<double>::denorm_min(), 1e300, 0.1 + 0.2 };
    for (int r = 0; r < 200; ++r) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        const double t1 = (7000 + (r * 37) % 1000 + qint64(state % 100)) / 100.0;
        table.appendRow(QVariantList{ local(2021, 10, 29, 0, 0).addSecs(3600LL * r), t1,
                                      (12345678 + r * 1234 + qint64(state % 7)) / 1000.0, (610 + r / 20) / 100.0,
                                      r % 10 == 3 ? QVariant(specials[(r / 10) % 6]) : QVariant(r * 0.5),
                                      r % 17 == 5   ? QVariant::fromValue(ZeltoOutOfRange())
                                      : r % 17 == 9 ? QVariant(QVariant::Double)
                                                    : QVariant(r * 0.01),
                                      r % 6 < 2 ? QVariant() : QVariant(r / 8.0), fromBits(state), int(state % 3) });
    }
    return table;
}

// count hourly rows from 2024-03-01 00:00 local time plus first hours, with
// the decimals meters report.
inline ZeltoTable hourArchive(int first, int count)
{
    ZeltoTable table(QStringList{ "date", "S1_t1", "S1_t2", "S1_V1", "S1_P1" });
    for (int h = first; h < first + count; ++h) {
        table.appendRow(QVariantList{ local(2024, 3, 1, 0, 0).addSecs(3600LL * h), (7500 + (h * 53) % 500) / 100.0,
                                      (4500 + (h * 29) % 300) / 100.0, (1000000 + 1500 * h + (h * 7) % 250) / 1000.0,
                                      (600 + h % 9) / 100.0 });
    }
    return table;
}

} // namespace StreamFixtures
