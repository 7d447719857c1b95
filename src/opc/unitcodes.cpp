#include "unitcodes.h"

#include <QHash>

QString UnitCodes::commonCode(const QString &unit)
{
    // Keyed by the unit texts of the parameter descriptions (and the
    // usual ones a catalogue may come to use).
    static const QHash<QString, QString> codes{
        {QStringLiteral("°C"), QStringLiteral("CEL")},      {QStringLiteral("K"), QStringLiteral("KEL")},
        {QStringLiteral("bar"), QStringLiteral("BAR")},     {QStringLiteral("МПа"), QStringLiteral("MPA")},
        {QStringLiteral("кПа"), QStringLiteral("KPA")},     {QStringLiteral("Па"), QStringLiteral("PAL")},
        {QStringLiteral("м3"), QStringLiteral("MTQ")},      {QStringLiteral("м3/ч"), QStringLiteral("MQH")},
        {QStringLiteral("т"), QStringLiteral("TNE")},       {QStringLiteral("т/ч"), QStringLiteral("E18")},
        {QStringLiteral("кг"), QStringLiteral("KGM")},      {QStringLiteral("кВт·ч"), QStringLiteral("KWH")},
        {QStringLiteral("МВт·ч"), QStringLiteral("MWH")},   {QStringLiteral("ГДж"), QStringLiteral("GV")},
        {QStringLiteral("Вт"), QStringLiteral("WTT")},      {QStringLiteral("кВт"), QStringLiteral("KWT")},
        {QStringLiteral("МВт"), QStringLiteral("MAW")},     {QStringLiteral("ч"), QStringLiteral("HUR")},
        {QStringLiteral("мин"), QStringLiteral("MIN")},     {QStringLiteral("с"), QStringLiteral("SEC")},
        {QStringLiteral("В"), QStringLiteral("VLT")},       {QStringLiteral("А"), QStringLiteral("AMP")},
        {QStringLiteral("Гц"), QStringLiteral("HTZ")},      {QStringLiteral("%"), QStringLiteral("P1")}};
    return codes.value(unit);
}
